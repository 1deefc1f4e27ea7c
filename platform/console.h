// Console text: every program's output lines, the password prompt and the conversion between
// the program's UTF-8 and a console whose locale uses another codeset (for example Shift_JIS).
#ifndef ZK_PLATFORM_CONSOLE_H_
#define ZK_PLATFORM_CONSOLE_H_

#include <string>

namespace zk {

// Sets the locale from the environment and prepares conversion. Call once, first thing in main.
void InitConsole();

// Writes `text` and a line end to standard output / standard error and flushes the stream.
// Text is converted from UTF-8 when the console's codeset is neither UTF-8 nor ASCII.
void PrintOut(const std::string& text);
void PrintErr(const std::string& text);

// The status line: one line on standard error that is redrawn in place (progress of a copy), shown
// only when standard error is a terminal. ShowStatus replaces the line shown before; PrintOut and
// PrintErr erase it before their own line, so it never mixes with the program's output and
// nothing of it reaches a file or a pipe. The text should fit StatusColumns() (it is not cut).
bool StatusLineAvailable();
int StatusColumns();  // the terminal's width in columns (80 when it does not say)
void ShowStatus(const std::string& text);
void ClearStatus();

// Converts text typed at the console or given on the command line to UTF-8.
std::string FromConsole(const std::string& text);

// The password prompt: prints `prompt` and a line end, switches terminal echo off (when standard
// input is a terminal), reads one blank-delimited word of at most 127 bytes (a longer word is cut),
// restores echo (also when interrupted) and prints a line end. End of input gives an empty word.
std::string PromptWord(const std::string& prompt);

// `given` (an argument or option value) when it is not empty, else PromptWord(prompt): how every
// tool takes a password that may be given or typed.
std::string GivenOrPrompted(const std::string& given, const std::string& prompt);

}  // namespace zk

#endif  // ZK_PLATFORM_CONSOLE_H_
