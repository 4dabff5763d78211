// The Linux builder: the Windows builder's switches with the conventions of a Linux command
// line (unknown options and wrong counts are usage errors, --help, --version), message boxes
// on the terminal.
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "builder/cmdline.h"
#include "builder/startup.h"
#include "builder/terminal_host.h"
#include "builder/u_messages.h"

namespace {

constexpr int kExitBuilt = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The help window's lines, with -z and what only a Linux command line has; the sizes come
// from the stub images this program carries.
void PrintUsage(std::ostream& out) {
  for (const char* line : kUsageLines) {
    const std::string text = line;
    if (text.find("[-o] [-c] [-h]") != std::string::npos) {
      out << "kesdra [-z] [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>\n";
      continue;
    }
    if (text.rfind("kesdra -o ", 0) == 0) {
      out << "kesdra -o ~/sourcedir ./setup.exe ~/targetfile.exe\n";
      continue;
    }
    out << line << '\n';
    if (text.rfind("-h  ", 0) == 0)
      out << "-z  compress the payload (LZMA, solid; the stub grows from " << GroupedBytes(StubImage.size) << " to "
          << GroupedBytes(PackedStubImage.size) << " bytes)\n"
          << "--help, -?  print this text;  --version  print the version\n";
  }
  out << "\n"
         "<executablefile> is a path inside <sourcedir>: \"/\" stands for the stored \"\\\", a leading\n"
         "\"./\" is dropped, \"..\" and absolute paths are refused.\n"
         "With SOURCE_DATE_EPOCH set (seconds since 1970), later file times are stored as that\n"
         "moment and the payload identifier is derived from the files: equal trees give equal files.\n"
         "\n"
         "Exit status: 0 the file was built, or the overwrite question was answered No;\n"
         "1 an input was refused, the build failed, or nobody could answer the overwrite question;\n"
         "2 usage error (unknown option, wrong number of arguments, empty argument).\n";
}

int UsageError(const std::string& why) {
  std::cerr << "kesdra: " << why << '\n';
  PrintUsage(std::cerr);
  return kExitUsage;
}

// A build stopped by a signal takes its temporary file along; the target stays as it was.
void RemoveTemporaryAndEnd(int signal) {
  const char* temporary = TemporaryTargetPath();
  if (temporary[0]) unlink(temporary);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> switches, positional;
  std::string unknown;
  bool help = false, version = false, optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--help" || arg == "-?") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "-o" || arg == "-c" || arg == "-h" || arg == "-z") {
      switches.push_back(arg);
    } else if (unknown.empty()) {
      unknown = arg;
    }
  }
  // Only the switches go through the shared reader: a positional argument after "--" that
  // begins with "-" must not count as one.
  std::vector<std::string> args{argv[0]};
  args.insert(args.end(), switches.begin(), switches.end());
  const CommandLine cmd(args, argv[0], "-");
  TerminalHost host(isatty(STDERR_FILENO) != 0);
  if (!StartBuilder(cmd)) {
    host.ShowError(kMsgCorrupted);
    return kExitFailed;
  }
  if (!unknown.empty()) return UsageError("unknown option " + unknown);
  if (version) {
    std::cout << "kesdra " << KESDRA_VERSION << '\n';
    return kExitBuilt;
  }
  if (help) {
    PrintUsage(std::cout);
    return kExitBuilt;
  }
  // An empty argument is usually a variable that a script left unset.
  for (const std::string& arg : positional)
    if (arg.empty()) return UsageError("an argument is empty");
  if (positional.size() != 3)
    return UsageError("three arguments are needed, " + std::to_string(positional.size()) + " given");

  CommandLineMode = true;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, RemoveTemporaryAndEnd);
  SetBuildHost(&host);
  try {
    switch (BuildSfx(positional[0], positional[1], positional[2])) {
      case BuildOutcome::Built: return kExitBuilt;
      case BuildOutcome::Declined: return host.unanswered() ? kExitFailed : kExitBuilt;
      case BuildOutcome::Rejected: return kExitFailed;
    }
  } catch (const std::exception& e) {
    host.ShowError(e.what());
  }
  return kExitFailed;
}
