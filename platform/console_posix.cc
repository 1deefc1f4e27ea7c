// Console text over stdio, iconv and termios.
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"

namespace zk {
namespace {

std::string g_codeset;  // empty: no conversion

std::string Convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return text;
  std::string out;
  std::string in = text;
  char* inp = in.empty() ? nullptr : &in[0];
  size_t inleft = in.size();
  char buf[4096];
  while (inleft > 0) {
    char* outp = buf;
    size_t outleft = sizeof(buf);
    size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    out.append(buf, outp - buf);
    if (r == (size_t)-1 && errno != E2BIG) {
      // Unconvertible byte: pass it through unchanged and go on.
      out.push_back(*inp);
      ++inp;
      --inleft;
    }
  }
  iconv_close(cd);
  return out;
}

std::string ToConsole(const std::string& text) {
  return g_codeset.empty() ? text : Convert(text, g_codeset.c_str(), "UTF-8");
}

bool g_status_shown = false;  // the status line is on the terminal now

// Back to the start of the line, and the line cleared to its end.
const char kEraseLine[] = "\r\033[K";

void Write(FILE* f, const std::string& text) {
  ClearStatus();
  std::string line = ToConsole(text);
  line.push_back('\n');
  fwrite(line.data(), 1, line.size(), f);
  fflush(f);
}

// Names of the Shift_JIS codeset, upper-cased.
bool IsShiftJis(const std::string& upper) {
  std::string bare;
  for (char c : upper) {
    if (c != '-' && c != '_') bare.push_back(c);
  }
  return bare == "SHIFTJIS" || bare == "SJIS" || bare == "CSSHIFTJIS" || bare == "MSKANJI" ||
         bare == "CP932" || bare == "WINDOWS31J";
}

struct termios g_saved;
volatile sig_atomic_t g_echo_off = 0;
struct sigaction g_old_int;

void RestoreOnSignal(int sig) {
  if (g_echo_off) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  sigaction(SIGINT, &g_old_int, nullptr);
  raise(sig);
}

}  // namespace

void InitConsole() {
  setlocale(LC_ALL, "");
  const char* cs = nl_langinfo(CODESET);
  std::string codeset = cs ? cs : "";
  std::string upper;
  for (char c : codeset) upper.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
  if (upper.empty() || upper == "UTF-8" || upper == "UTF8" || upper == "ANSI_X3.4-1968" ||
      upper == "ASCII" || upper == "US-ASCII") {
    g_codeset.clear();
  } else if (IsShiftJis(upper)) {
    // iconv's SHIFT_JIS reads byte 0x5C as the yen sign, so a typed "\" would stop being a path
    // separator (and a password character) while output still shows 0x5C. The Windows code page
    // keeps 0x5C as "\" (and 0x7E as "~") both ways, as a Japanese console shows them.
    g_codeset = "CP932";
  } else {
    g_codeset = codeset;
  }
  // Numbers are formatted by the program itself; keep C conventions for the rest of libc.
  setlocale(LC_NUMERIC, "C");
}

void PrintOut(const std::string& text) { Write(stdout, text); }
void PrintErr(const std::string& text) { Write(stderr, text); }

bool StatusLineAvailable() { return isatty(STDERR_FILENO) == 1; }

int StatusColumns() {
  struct winsize ws;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void ShowStatus(const std::string& text) {
  if (!StatusLineAvailable()) return;
  // From the start of the line, the text, and the rest of what was there before cleared.
  std::string line = "\r" + ToConsole(text) + "\033[K";
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
  g_status_shown = true;
}

void ClearStatus() {
  if (!g_status_shown) return;
  g_status_shown = false;
  fflush(stdout);
  fwrite(kEraseLine, 1, sizeof(kEraseLine) - 1, stderr);
  fflush(stderr);
}

std::string FromConsole(const std::string& text) {
  return g_codeset.empty() ? text : Convert(text, "UTF-8", g_codeset.c_str());
}

std::string PromptWord(const std::string& prompt) {
  PrintOut(prompt);
  bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &g_saved) == 0;
  // SIGINT stays blocked while echo and the flag that says so change together: an interrupt in
  // between is delivered once both agree, so the handler always knows what to restore.
  sigset_t block, before;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  if (tty) {
    sigprocmask(SIG_BLOCK, &block, &before);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = RestoreOnSignal;
    sigaction(SIGINT, &sa, &g_old_int);
    struct termios noecho = g_saved;
    noecho.c_lflag &= ~ECHO;
    tcsetattr(STDIN_FILENO, TCSANOW, &noecho);
    g_echo_off = 1;
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
  // One blank-delimited word, read byte by byte so nothing past the word's end is consumed.
  std::string word;
  int c;
  while ((c = getchar()) != EOF && isspace(c)) {
  }
  while (c != EOF && !isspace(c)) {
    if (word.size() < 127) word.push_back(static_cast<char>(c));
    c = getchar();
  }
  if (tty) {
    sigprocmask(SIG_BLOCK, &block, &before);
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    g_echo_off = 0;
    sigaction(SIGINT, &g_old_int, nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
  printf("\n");
  fflush(stdout);
  return FromConsole(word);
}

std::string GivenOrPrompted(const std::string& given, const std::string& prompt) {
  return given.empty() ? PromptWord(prompt) : given;
}

}  // namespace zk
