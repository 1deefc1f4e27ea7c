// The opening every program makes of its environment file: which file of which kind passes, the
// message of each refusal, and the connection settings read from it.
#include "settings/envfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "settings/zkdb.h"

namespace zk {
namespace {

TEST(OpenEnvFileTest, KindsAndTheirMessages) {
  char tmpl[] = "/tmp/zk-envfile-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl;
  const std::string server = dir + "/server.zkd", user = dir + "/client.zkd",
                    junk = dir + "/junk.zkd", folder = dir + "/folder.zkd";
  ASSERT_EQ(WriteStatus::kDone, CreateServerEnvFile(server, "ns", "1", "2", "64"));
  ASSERT_EQ(WriteStatus::kDone, CreateUserEnvFile(user, "ns", "1", "", "64", "u", "p"));
  std::ofstream(junk) << "not a database";
  std::filesystem::create_directory(folder);

  const std::string kServerMissing = "ERROR:サーバ環境設定ファイルが存在しません。(";
  const std::string kServerOther = "ERROR:サーバ環境設定ファイルではありません。(";
  const std::string kUserMissing = "ERROR:ユーザ環境設定ファイルが存在しません。(";
  const std::string kUserOther = "ERROR:ユーザ環境設定ファイルではありません。(";
  struct Case {
    EnvKind kind;
    std::string name;
    std::string message;  // "" when the file passes
  };
  for (const Case& c :
       {Case{EnvKind::kServer, server, ""}, Case{EnvKind::kUser, user, ""},
        Case{EnvKind::kServer, user, kServerOther + user + ")\n"},
        Case{EnvKind::kUser, server, kUserOther + server + ")\n"},
        Case{EnvKind::kServer, junk, kServerOther + junk + ")\n"},
        Case{EnvKind::kServer, folder, kServerMissing + folder + ")\n"},
        Case{EnvKind::kUser, dir + "/none.zkd", kUserMissing + dir + "/none.zkd)\n"}}) {
    std::string file = "stale";
    testing::internal::CaptureStderr();
    const bool opened = OpenEnvFile(FileSystem::Default(), c.kind, c.name, "zktool", &file);
    EXPECT_EQ(c.message, testing::internal::GetCapturedStderr()) << c.name;
    EXPECT_EQ(c.message.empty(), opened) << c.name;
    EXPECT_EQ(c.name, file);
  }

  ConnectionSettings s = ReadConnectionSettings(server);
  EXPECT_EQ("ns", s.ns);
  EXPECT_EQ("1", s.iiop);
  EXPECT_EQ("2", s.ssl);
  EXPECT_EQ("64", s.unit);
  EXPECT_TRUE(s.complete());
  EXPECT_FALSE(ReadConnectionSettings(user).complete());  // no TLS port
  EXPECT_FALSE(ReadConnectionSettings(junk).complete());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zk
