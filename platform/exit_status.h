// The exit statuses every program ends with. A tool with a status of its own (zkau's 10) names
// it beside its main.
#ifndef ZK_PLATFORM_EXIT_STATUS_H_
#define ZK_PLATFORM_EXIT_STATUS_H_

namespace zk {

constexpr int kExitOk = 0;
constexpr int kExitFail = 20;

}  // namespace zk

#endif  // ZK_PLATFORM_EXIT_STATUS_H_
