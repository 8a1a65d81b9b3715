#pragma once
// Command-line helpers shared by the POSIX tools (parsed with getopt_long,
// option string starting "+:" so that getopt itself prints nothing).
#include <getopt.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vr::tools {

// The value of `text` given to `option`: the whole text must be a decimal
// number from min to max, else std::invalid_argument naming both.
inline long long OptionNumber(std::string_view option, std::string_view text, long long min,
                              long long max) {
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
    throw std::invalid_argument(std::string(option) + ": '" + std::string(text) +
                                "' is not a number from " + std::to_string(min) + " to " +
                                std::to_string(max));
  return value;
}

// --tanks "N" or "A-B": tanks 1..most with A <= B.
inline void ParseTanks(const std::string& text, int& first, int& last, int most = 16) {
  size_t dash = text.find('-');
  try {
    first = static_cast<int>(OptionNumber("--tanks", text.substr(0, dash), 1, most));
    last = dash == std::string::npos
               ? first
               : static_cast<int>(OptionNumber("--tanks", text.substr(dash + 1), first, most));
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("--tanks: '" + text +
                                "' is not N or A-B with 1 <= A <= B <= " + std::to_string(most));
  }
}

// Long options take values from here on, so that optopt tells them from the
// short ones.
inline constexpr int kLongOption = 256;

// The message for getopt_long's ':' (a value is missing) or '?' (an unknown
// option, or a value given to an option that takes none).
inline std::string OptionError(int code, char* const* argv) {
  std::string name;
  if (optopt == 0 || optopt >= kLongOption) {  // a long option: the word before optind
    const char* word = argv[optind - 1];
    name.assign(word, std::strcspn(word, "="));
  } else {
    name = std::string("-") + static_cast<char>(optopt);
  }
  if (code == ':') return name + " needs a value";
  return optopt >= kLongOption ? name + " takes no value" : "unknown option " + name;
}

// Runs getopt_long over argv ("+:h"; --help is to be given the code 'h') and
// hands each option's code to `handle`, which returns false to stop (--help).
// Returns false when it stopped; throws std::invalid_argument for an unknown
// option, a missing value or a word left over.
template <typename Handle>
bool ForEachOption(int argc, char** argv, const option* options, Handle handle) {
  optind = 1;
  for (int c; (c = getopt_long(argc, argv, "+:h", options, nullptr)) != -1;) {
    if (c == ':' || c == '?') throw std::invalid_argument(OptionError(c, argv));
    if (!handle(c)) return false;
  }
  if (optind < argc)
    throw std::invalid_argument(std::string("unexpected argument ") + argv[optind]);
  return true;
}

// A tool's start: `parse` reads the command line into its options, throwing
// std::invalid_argument at a usage error, and returns true for --help.
// Returns the status to exit with (2 after a usage error, told on stderr;
// 0 after the usage text), or -1 to go on.
template <typename Parse>
int StartCommandLine(const char* tool, const char* usage, Parse parse) {
  try {
    if (!parse()) return -1;
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s: %s (see --help)\n", tool, e.what());
    return 2;
  }
  std::puts(usage);
  return 0;
}

// The driver library a tool loads without --lib: the one built beside it
// while that exists (a run from the build tree), else the installed library
// by its soname, which the dynamic loader finds in the system's directories.
inline std::string DefaultLibrary(const char* built, const char* soname) {
  return access(built, F_OK) == 0 ? built : soname;
}

}  // namespace vr::tools
