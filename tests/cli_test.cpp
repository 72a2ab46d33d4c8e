// The command-line host harlwick-host: its exit codes, its one-line
// complaints and a whole session with each generation's module.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

struct Outcome {
  int exit = -1;  // -1: did not exit normally
  std::string out;
  std::string err;
};

#ifdef _WIN32
// For cmd.exe, which std::system runs; the tests' paths hold no quotes.
std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}
const char* const CHANGE_FOLDER = "cd /d ";
int ExitCode(int status) {
  return status;
}
#else
// For sh, which std::system runs.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
const char* const CHANGE_FOLDER = "cd ";
int ExitCode(int status) {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The text of the host's output, line ends as LF.
std::string ReadText(const std::filesystem::path& file) {
  std::string text = ReadBytes(file);
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The lines of the section "== title ==" of the host's report.
std::string Section(const std::string& out, const std::string& title) {
  const std::string header = "== " + title + " ==\n";
  const size_t start = out.find(header);
  if (start == std::string::npos) return "(no section " + title + ")";
  const size_t end = out.find("\n== ", start + header.size());
  return out.substr(start + header.size(), end == std::string::npos ? std::string::npos : end - start - header.size());
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = std::filesystem::temp_directory_path() /
              ("harlwick-cli-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // How a run of the host differs from the plain one.
  struct Setting {
    std::filesystem::path in = {};     // the working folder; empty: the test's folder
    std::filesystem::path input = {};  // a file whose bytes reach standard input through a pipe (POSIX)
  };

  // Runs the host with these arguments, in the test's folder unless told otherwise.
  Outcome Host(const std::vector<std::string>& arguments) { return Host(arguments, Setting()); }
  Outcome Host(const std::vector<std::string>& arguments, const Setting& setting) {
    // Absolute paths: the host runs in the test's folder.
    const std::filesystem::path in = setting.in.empty() ? folder_ : setting.in;
    // Appended piece by piece: GCC 12 at -O3 takes `" " + text` for an overlapping copy (-Wrestrict).
    std::string command = CHANGE_FOLDER;
    command.append(Quoted(in.string())).append(" && ");
    if (!setting.input.empty()) command.append("cat ").append(Quoted(setting.input.string())).append(" | ");
    command.append(Quoted(std::filesystem::absolute(HARLWICK_HOST_EXE).string()));
    for (const std::string& argument : arguments) command.append(" ").append(Quoted(argument));
    const std::filesystem::path out = folder_ / "stdout.txt";
    const std::filesystem::path err = folder_ / "stderr.txt";
    command.append(" >").append(Quoted(out.string())).append(" 2>").append(Quoted(err.string()));
    Outcome outcome;
    outcome.exit = ExitCode(std::system(command.c_str()));
    outcome.out = ReadText(out);
    outcome.err = ReadText(err);
    return outcome;
  }

#ifndef _WIN32
  // Where the host's standard output goes in Spawn().
  enum class Output{Pipe, File, FullDevice, Closed};
  struct Child {
    int resource = -1;  // a resource to limit, if any
    rlim_t limit = 0;
    Output output = Output::Pipe;
  };

  // Runs the host as Host() does, in a child process set up as `child` says;
  // the signals are as a shell leaves them, so that the host answers a
  // file-size limit itself. A pipe is cut short by no file-size limit; the
  // file is stdout.txt of the test's folder.
  Outcome Spawn(const std::vector<std::string>& arguments, const Child& child) {
    const std::string program = std::filesystem::absolute(HARLWICK_HOST_EXE).string();
    const std::string errors = (folder_ / "stderr.txt").string();
    const std::string output = (folder_ / "stdout.txt").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
      const int errorFile = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int out = pipeEnds[1];
      if (child.output == Output::File) out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (child.output == Output::FullDevice) out = open("/dev/full", O_WRONLY);
      const rlimit bound{child.limit, child.limit};
      if (errorFile < 0 || out < 0 || chdir(folder_.c_str()) != 0 || dup2(errorFile, 2) < 0 ||
          (child.output == Output::Closed ? close(1) : dup2(out, 1)) < 0 ||
          (child.resource >= 0 && setrlimit(child.resource, &bound) != 0))
        _exit(126);
      close(pipeEnds[0]);
      close(pipeEnds[1]);
      std::signal(SIGXFSZ, SIG_DFL);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(pipeEnds[1]);
    Outcome outcome;
    char buffer[1 << 16];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof(buffer))) > 0;)
      outcome.out.append(buffer, static_cast<size_t>(got));
    close(pipeEnds[0]);
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) status = -1;
    outcome.exit = ExitCode(status);
    if (child.output == Output::File) outcome.out = ReadText(output);
    outcome.err = ReadText(errors);
    return outcome;
  }

  // Runs the host under a limit of `resource`, its output through a pipe.
  Outcome HostLimited(const std::vector<std::string>& arguments, int resource, rlim_t limit) {
    return Spawn(arguments, Child{resource, limit, Output::Pipe});
  }
#endif

  // A fresh, empty host folder.
  std::string NewHostFolder(const std::string& name) {
    const std::filesystem::path folder = folder_ / name;
    std::filesystem::create_directories(folder);
    return folder.string();
  }

  // A file of these bytes in the test's folder.
  std::filesystem::path Write(const std::string& name, const std::string& content) {
    std::ofstream(folder_ / name, std::ios::binary) << content;
    return folder_ / name;
  }

  static void ExpectOneLineComplaint(const Outcome& outcome, int exit) {
    EXPECT_EQ(outcome.exit, exit) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_TRUE(!outcome.err.empty() && outcome.err.back() == '\n') << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "harlwick-host: ")) << outcome.err;
  }

  std::filesystem::path folder_;
};

std::string ModuleOf(uint32_t floor) {
  return std::filesystem::absolute(harness::ModulePath(floor)).string();
}

#ifndef _WIN32
// Why a row that needs a permission denied cannot run here, or empty: the
// superuser is denied nothing.
std::string PermissionUnusable() {
  return geteuid() == 0 ? "running as root, whom no permission is denied" : "";
}
#endif

TEST_F(Cli, HelpExitsZero) {
  const Outcome outcome = Host({"--help"});
  EXPECT_EQ(outcome.exit, 0);
  EXPECT_EQ(outcome.err, "");
  // What the options do to the host's loggers, their spellings and every exit code.
  for (const char* said :
       {"usage: harlwick-host", "a run keeps only the last type's lines", "without it the",
        "Python logger's lines into consolelog.txt", "\"Message: <line>\"", "0 to 1000", "--option=VALUE", "after --",
        "\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ", "\n  5  ", "\n  6  "})
    EXPECT_TRUE(Contains(outcome.out, said)) << said << "\n" << outcome.out;
}

TEST_F(Cli, WrongArgumentsExitTwoWithOneLine) {
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::string folder = NewHostFolder("out");
  const std::string absent = (folder_ / "absent.log").string();
  const std::string plain = Write("plain.txt", "a file\n").string();
  const std::string tooLong = (folder_ / std::string(300, 'n')).string();
  // Run where the default host folder cannot be made: a file has its name.
  const std::filesystem::path fileInTheWay = NewHostFolder("file-in-the-way");
  std::ofstream(fileInTheWay / "harlwick-output") << "not a folder\n";
  const std::filesystem::path locked = NewHostFolder("locked");
#ifndef _WIN32
  // A link to nothing: the folder cannot be made where it is, and then is not there.
  const std::filesystem::path dangling = NewHostFolder("dangling-link");
  std::filesystem::create_symlink("nowhere", dangling / "harlwick-output");
  const std::string loop = (folder_ / "loop").string();
  std::filesystem::create_symlink("loop", loop);
  const std::string unreadable = Write("unreadable.log", "secret\n").string();
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
#endif
  struct Row {
    std::vector<std::string> arguments;
    std::string said;               // part of the complaint, if it matters
    std::filesystem::path in = {};  // the working folder, if not the test's
    std::string skip = {};          // why the row cannot run here, if it cannot
  };
  std::vector<Row> wrong = {
      {{"--bogus", module}, "unknown option '--bogus'"},
      {{"-x", module}, ""},
      {{}, "no module file given"},
      {{module, module}, "one module at a time"},
      {{module, "--runs"}, "needs a value"},
      {{module, "--api-version"}, ""},
      {{module, "--host-folder"}, ""},
      {{module, "--python-log"}, ""},
      {{"--runs", "many", module}, "--runs wants a whole number from 0 to 1000, not 'many'"},
      {{"--runs", "-1", module}, "wants a whole number"},
      {{"--runs", "3x", module}, "wants a whole number"},
      {{"--runs", "", module}, "wants a whole number"},
      {{"--runs", "1001", module}, "--runs 1001 is above the bound of 1000 runs"},
      {{"--runs", "99999999999", module}, "--runs 99999999999 is above the bound of 1000 runs"},
      {{"--runs", "99999999999999999999", module}, "above the bound"},
      {{"--host-folder", folder, "--api-version", "new", module}, "--api-version wants a whole number"},
      {{"--host-folder", folder, "--api-version", "-1", module}, ""},
      {{"--host-folder", folder, "--api-version", "4294967296", module}, ""},
      {{"--host-folder", folder, "--api-version", "2025000.0", module}, ""},
      // --option=value, and the end of the options.
      {{"--runs=many", module}, "--runs wants a whole number from 0 to 1000, not 'many'"},
      {{"--runs=", module}, "--runs wants a whole number from 0 to 1000, not ''"},
      {{"--host-folder=" + folder, "--api-version=new", module}, "--api-version wants a whole number"},
      {{"--diagnostics=yes", module}, "option --diagnostics takes no value, not 'yes'"},
      {{"--bogus=1", module}, "unknown option '--bogus'"},
      {{module, "--", "-x"}, "one module at a time; '-x' is a second one"},
      {{"--", "--runs", module}, "one module at a time; '" + module + "' is a second one"},
      // Each file or folder that cannot be used, with the system's reason.
      {{"--python-log", absent, module}, "cannot read log file [" + absent + "]: No such file or directory"},
      {{"--python-log=" + absent, module}, "cannot read log file [" + absent + "]: No such file or directory"},
      {{"--default-log", folder, module}, "cannot read log file [" + folder + "]: Is a directory"},
      {{"--host-folder", (folder_ / "absent").string(), module},
       "no host folder [" + (folder_ / "absent").string() + "]: No such file or directory"},
      {{"--host-folder", plain, module}, "no host folder [" + plain + "]: Not a directory"},
      {{module}, "no host folder [harlwick-output]: Not a directory", fileInTheWay},
  };
#ifndef _WIN32
  const std::vector<Row> posix = {
      {{"--python-log", tooLong, module}, "cannot read log file [" + tooLong + "]: File name too long"},
      {{"--python-log", loop, module}, "cannot read log file [" + loop + "]: Too many levels of symbolic links"},
      {{"--python-log", plain + "/x", module}, "cannot read log file [" + plain + "/x]: Not a directory"},
      {{"--python-log", unreadable, module},
       "cannot read log file [" + unreadable + "]: Permission denied",
       {},
       PermissionUnusable()},
      {{"--host-folder", tooLong, module}, "no host folder [" + tooLong + "]: File name too long"},
      {{module}, "no host folder [harlwick-output]: File exists", dangling},
      {{module}, "no host folder [harlwick-output]: Permission denied", locked, PermissionUnusable()},
  };
  wrong.insert(wrong.end(), posix.begin(), posix.end());
#endif
  for (const Row& row : wrong) {
    std::string shown;
    for (const std::string& argument : row.arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    if (!row.skip.empty()) {
      std::cout << "[ skipped row ] " << shown << ": " << row.skip << "\n";
      continue;
    }
    const Outcome outcome = Host(row.arguments, {row.in, {}});
    ExpectOneLineComplaint(outcome, 2);
    EXPECT_TRUE(Contains(outcome.err, row.said)) << outcome.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "nothing ran";
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output")) << "no module loaded, no host folder made";
  EXPECT_TRUE(std::filesystem::is_regular_file(fileInTheWay / "harlwick-output"));
}

// Where a copy of a module file cut short ends: inside each of its parts,
// found from the file's own headers (its layout moves with the build type
// and the checkout's path), and what the host says of it.
struct Cut {
  std::string name;
  uint64_t at;
  std::string said;
};

template <typename Value>
Value Field(const std::string& bytes, uint64_t at) {
  Value value{};
  if (at + sizeof(Value) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(Value));
  return value;
}

std::string EndsBefore(uint64_t at, const std::string& part, uint64_t end) {
  return "not a complete shared library: the file ends at byte " + std::to_string(at) + ", before the end of its " +
         part + " (byte " + std::to_string(end) + ")";
}

// Of parts [offset, offset + size) in file order: a cut in the middle of
// the last one with bytes, told as the first part that does not fit before it.
Cut CutInLast(const std::string& name, const std::vector<std::pair<uint64_t, uint64_t>>& parts,
              const std::string& partName) {
  size_t last = 0;
  for (size_t index = 0; index < parts.size(); ++index)
    if (parts[index].second > 0) last = index;
  const uint64_t at = parts[last].first + parts[last].second / 2;
  size_t named = last;
  for (size_t index = 0; index < parts.size(); ++index) {
    if (parts[index].second > 0 && parts[index].first + parts[index].second > at) {
      named = index;
      break;
    }
  }
  return {name, at, EndsBefore(at, partName + " " + std::to_string(named), parts[named].first + parts[named].second)};
}

#ifdef _WIN32
constexpr uint64_t PE_HEADERS = 4 + 20 + 240;  // signature, file header, 64-bit optional header
constexpr uint64_t SECTION_HEADER = 40;
constexpr uint64_t SYMBOL = 18;

std::vector<Cut> CutsOf(const std::string& bytes) {
  const uint64_t nt = Field<uint32_t>(bytes, 0x3C);
  const uint64_t sections = nt + 24 + Field<uint16_t>(bytes, nt + 20);
  const uint64_t count = Field<uint16_t>(bytes, nt + 6);
  std::vector<std::pair<uint64_t, uint64_t>> raw;
  uint64_t sectionsEnd = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const uint64_t at = sections + index * SECTION_HEADER;
    raw.emplace_back(Field<uint32_t>(bytes, at + 20), Field<uint32_t>(bytes, at + 16));
    sectionsEnd = std::max(sectionsEnd, raw.back().first + raw.back().second);
  }
  std::vector<Cut> cuts = {
      {"pe-headers", nt + PE_HEADERS / 2, EndsBefore(nt + PE_HEADERS / 2, "PE headers", nt + PE_HEADERS)},
      {"section-headers", sections + SECTION_HEADER / 2,
       EndsBefore(sections + SECTION_HEADER / 2, "section headers", sections + count * SECTION_HEADER)},
      CutInLast("section", raw, "section"),
  };
  const uint64_t symbols = Field<uint32_t>(bytes, nt + 12);
  const uint64_t symbolsEnd = symbols + Field<uint32_t>(bytes, nt + 16) * SYMBOL;
  if (symbols != 0 && symbols >= sectionsEnd && symbolsEnd > symbols)
    cuts.push_back({"symbol-table", (symbols + symbolsEnd) / 2,
                    EndsBefore((symbols + symbolsEnd) / 2, "symbol table", symbolsEnd + 4)});
  return cuts;
}
#else
using ElfHeader = ElfW(Ehdr);
using ElfSegment = ElfW(Phdr);

std::vector<std::pair<uint64_t, uint64_t>> LoadableSegments(const std::string& bytes) {
  const auto header = Field<ElfHeader>(bytes, 0);
  std::vector<std::pair<uint64_t, uint64_t>> loadable;
  for (uint64_t index = 0; index < header.e_phnum; ++index) {
    const auto segment = Field<ElfSegment>(bytes, header.e_phoff + index * sizeof(ElfSegment));
    // Others stand in as empty, so that the index is the program header's.
    loadable.emplace_back(segment.p_offset, segment.p_type == PT_LOAD ? segment.p_filesz : 0);
  }
  return loadable;
}

std::vector<Cut> CutsOf(const std::string& bytes) {
  const auto header = Field<ElfHeader>(bytes, 0);
  const uint64_t inHeader = sizeof(ElfHeader) / 2;
  const uint64_t inProgramHeaders = header.e_phoff + sizeof(ElfSegment) / 2;
  const uint64_t inSectionHeaders = header.e_shoff + header.e_shentsize / 2;
  return {
      {"elf-header", inHeader, EndsBefore(inHeader, "ELF header", sizeof(ElfHeader))},
      {"program-headers", inProgramHeaders,
       EndsBefore(inProgramHeaders, "program headers", header.e_phoff + header.e_phnum * sizeof(ElfSegment))},
      CutInLast("segment", LoadableSegments(bytes), "loadable segment"),
      {"section-headers", inSectionHeaders,
       EndsBefore(inSectionHeaders, "section headers", header.e_shoff + uint64_t{header.e_shnum} * header.e_shentsize)},
  };
}
#endif

// The module file with `value` written over the bytes at `at`.
template <typename Value>
std::string Patched(std::string bytes, uint64_t at, Value value) {
  std::memcpy(bytes.data() + at, &value, sizeof(value));
  return bytes;
}

TEST_F(Cli, FilesThatAreNoModuleExitThree) {
  const std::filesystem::path real = harness::ModulePath(harness::FLOORS.back());
  const std::string bytes = ReadBytes(real);
  std::mt19937 random(10);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  struct Row {
    std::filesystem::path module;
    std::string said;
    std::string skip = {};  // why the row cannot run here, if it cannot
  };
  const std::string missing = (folder_ / "missing.xdl64").string();
  std::vector<Row> rows = {
      {missing, "no module file [" + missing + "]: No such file or directory"},
      {folder_, "no module file [" + folder_.string() + "]: Is a directory"},
      {Write("empty.xdl64", ""), "not a shared library of this platform"},
      {Write("notes.xdl64", "not a module\n"), "not a shared library of this platform"},
      {Write("noise.xdl64", noise), "not a shared library of this platform"},
      // A broken copy or an interrupted download of a real module.
      {Write("cut-10.xdl64", bytes.substr(0, 10)), "not a "},
      {Write("cut-half.xdl64", bytes.substr(0, bytes.size() / 2)), "not a complete shared library"},
      {Write("cut-last.xdl64", bytes.substr(0, bytes.size() - 1)), "not a complete shared library"},
  };
  const std::vector<Cut> cuts = CutsOf(bytes);
  for (const Cut& cut : cuts) {
    ASSERT_LT(cut.at, bytes.size()) << cut.name;
    rows.push_back({Write("cut-" + cut.name + ".xdl64", bytes.substr(0, cut.at)), cut.said});
  }
#ifdef _WIN32
  const uint64_t nt = Field<uint32_t>(bytes, 0x3C);
  rows.push_back({Write("machine.xdl64", Patched<uint16_t>(bytes, nt + 4, 0x14C)),
                  "a shared library of another platform (PE machine 332, not 34404)"});
  rows.push_back({Write("pe32.xdl64", Patched<uint16_t>(bytes, nt + 24, 0x10B)),
                  "not a 64-bit PE file (optional header magic 267, not 523)"});
#else
  // Without section headers (as a stripped library may be), a file cut
  // short is still told by its loadable segments.
  std::string stripped = Patched<decltype(ElfHeader::e_shoff)>(bytes, offsetof(ElfHeader, e_shoff), 0);
  stripped = Patched<decltype(ElfHeader::e_shnum)>(stripped, offsetof(ElfHeader, e_shnum), 0);
  const Cut inSegment = CutInLast("segment", LoadableSegments(bytes), "loadable segment");
  rows.push_back({Write("cut-stripped.xdl64", stripped.substr(0, inSegment.at)), inSegment.said});
  // Headers of another platform, or wrong, say what they hold.
  rows.push_back({Write("class.xdl64", Patched<unsigned char>(bytes, EI_CLASS, ELFCLASS32)),
                  "an ELF file of another class (32-bit), not this platform's 64-bit"});
  rows.push_back({Write("byte-order.xdl64", Patched<unsigned char>(bytes, EI_DATA, ELFDATA2MSB)),
                  "an ELF file of the other byte order (big-endian), not this platform's little-endian"});
  rows.push_back({Write("machine.xdl64", Patched<uint16_t>(bytes, offsetof(ElfHeader, e_machine), EM_386)),
                  "a shared library of another platform (ELF machine 3, not "});
  rows.push_back({Write("entry-size.xdl64", Patched<uint16_t>(bytes, offsetof(ElfHeader, e_phentsize), 32)),
                  "its program headers are 32 bytes each, not " + std::to_string(sizeof(ElfSegment))});
  // What is not a file, each with the system's reason or what it is; the FIFO is not waited on.
  const std::filesystem::path fifo = folder_ / "fifo.xdl64";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
  rows.push_back({fifo, "no module file [" + fifo.string() + "]: a FIFO (named pipe), not a regular file"});
  const std::filesystem::path loop = folder_ / "loop.xdl64";
  std::filesystem::create_symlink("loop.xdl64", loop);
  rows.push_back({loop, "no module file [" + loop.string() + "]: Too many levels of symbolic links"});
  const std::filesystem::path tooLong = folder_ / std::string(300, 'm');
  rows.push_back({tooLong, "no module file [" + tooLong.string() + "]: File name too long"});
  const std::filesystem::path unreadable = Write("unreadable.xdl64", bytes);
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  rows.push_back({unreadable,
                  "cannot load module [" + unreadable.string() + "]: cannot read the file: Permission denied",
                  PermissionUnusable()});
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.module.string());
    if (!row.skip.empty()) {
      std::cout << "[ skipped row ] " << row.module.string() << ": " << row.skip << "\n";
      continue;
    }
    const Outcome outcome = Host({row.module.string()});
    ExpectOneLineComplaint(outcome, 3);
    EXPECT_TRUE(Contains(outcome.err, row.module.string())) << "the complaint names the file: " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, row.said)) << outcome.err;
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output")) << "no module loaded, no host folder made";
  // The whole copy loads, by a bare name in the current folder.
  const Outcome copied = Host({Write("harlwick.xdl64", bytes).filename().string()});
  EXPECT_EQ(copied.exit, 0) << copied.out << copied.err;
  EXPECT_EQ(Section(copied.out, "runs"), "run 1: Quistmoor answered true");
  EXPECT_TRUE(std::filesystem::exists(folder_ / "harlwick-output" / "consolelog.txt"));
}

// A default log of `count` lines of about 90 characters.
std::string LongLines(int count) {
  std::string text;
  for (int line = 0; line < count; ++line) text += "line " + std::to_string(line) + " " + std::string(80, 'x') + "\n";
  return text;
}

TEST_F(Cli, RunsEachWriteWhatTheRunsBeforeEchoed) {
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::filesystem::path standard = folder_ / "default.log";
  std::ofstream(standard, std::ios::binary) << "one\n";
  const std::string folder = NewHostFolder("out");
  const Outcome three = Host({"--host-folder", folder, "--default-log", standard.string(), "--runs", "3", module});
  EXPECT_EQ(three.exit, 0) << three.err;
  EXPECT_EQ(Section(three.out, "runs"),
            "run 1: Quistmoor answered true\nrun 2: Quistmoor answered true\nrun 3: Quistmoor answered true");
  // Printed as the runs end, before what the host saw over the whole session.
  EXPECT_LT(three.out.find("== runs =="), three.out.find("== console =="));
  EXPECT_EQ(ReadBytes(std::filesystem::path(folder) / "consolelog.txt"),
            harness::ExpectedLog({"one", "Message: one", "Message: one", "Message: Message: one"}));

  // As many runs as allowed; with the end marker found each run adds one line.
  const std::filesystem::path marker = folder_ / "marker.log";
  std::ofstream(marker, std::ios::binary) << "Velmaris logging done!\n";
  const Outcome most = Host({"--host-folder", folder, "--python-log", marker.string(), "--runs", "1000", module});
  EXPECT_EQ(most.exit, 0) << most.err;
  EXPECT_TRUE(Contains(most.out, "\nrun 1000: Quistmoor answered true\n== console ==")) << most.err;

  const std::string none = NewHostFolder("none");
  const Outcome zero = Host({"--host-folder", none, "--runs", "0", module});
  EXPECT_EQ(zero.exit, 0) << zero.err;
  EXPECT_EQ(Section(zero.out, "runs"), "(none)");
  EXPECT_TRUE(std::filesystem::is_empty(none));
}

// A run that answers false says why, from the host's side, and a file it
// left is not shown as complete.
TEST_F(Cli, FailedRunsSayWhy) {
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::filesystem::path standard = folder_ / "default.log";
  std::ofstream(standard, std::ios::binary) << LongLines(3000);
  struct Row {
    std::string name;
    std::string operation;  // the operation the system refused
    int reason;             // and its errno
    int64_t fileSize;       // the file the run left, -1: none shown
  };
  std::vector<Row> rows = {{"folder-in-the-way", "open", 0, -1}};
#ifndef _WIN32
  rows.push_back({"disk-full", "write", ENOSPC, -1});
  rows.push_back({"file-size-limit", "write", EFBIG, 100000});
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path folder = NewHostFolder(row.name);
    const std::filesystem::path file = folder / "consolelog.txt";
    std::vector<std::string> arguments = {"--host-folder", folder.string(), module};
    Outcome outcome;
    if (row.name == "folder-in-the-way") {
      std::filesystem::create_directory(file);
      outcome = Host(arguments);
    }
#ifndef _WIN32
    if (row.name == "disk-full") {
      std::filesystem::create_symlink("/dev/full", file);
      outcome = Host(arguments);
    }
    if (row.name == "file-size-limit") {
      arguments.insert(arguments.begin(), {"--default-log", standard.string()});
      outcome = HostLimited(arguments, RLIMIT_FSIZE, static_cast<rlim_t>(row.fileSize));
    }
#endif
    EXPECT_EQ(outcome.exit, 1) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(Section(outcome.out, "runs"), "run 1: Quistmoor answered false");
    const std::string failures = Section(outcome.out, "file operations the system refused");
    EXPECT_TRUE(Contains(failures, row.operation + " [" + file.string() + "]: ")) << failures;
    if (row.reason != 0) {
      EXPECT_TRUE(Contains(failures, std::strerror(row.reason))) << failures;
    }
    const std::string heading = "== " + file.string() + " (";
    if (row.fileSize < 0) {
      EXPECT_FALSE(Contains(outcome.out, heading)) << outcome.out;
    } else {
      EXPECT_EQ(std::filesystem::file_size(file), static_cast<uintmax_t>(row.fileSize));
      EXPECT_TRUE(Contains(outcome.out, heading + std::to_string(row.fileSize) +
                                            " bytes, incomplete: the run that wrote it answered false) ==\n"))
          << outcome.out.substr(0, 2000);
      // The cut-short file ends inside a line; the next heading starts on its own.
      EXPECT_TRUE(Contains(outcome.out, "\n== host objects")) << outcome.out.substr(outcome.out.size() - 500);
    }
  }
}

#ifndef _WIN32
// Why a test under an address-space limit cannot run here, or empty.
std::string AddressSpaceLimitUnusable() {
#if defined(__SANITIZE_ADDRESS__)
  return "AddressSanitizer reserves more address space than the limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return "AddressSanitizer reserves more address space than the limit allows";
#endif
#endif
  return "";
}
#endif

// Memory that runs out where the host does not expect it ends in one line
// naming the stage and an exit code of its own, never a signal or a flood:
// what the host made for itself it gives back on the way out.
TEST_F(Cli, RunningOutOfMemoryEndsWithOneLine) {
#ifdef _WIN32
  GTEST_SKIP() << "the address-space limit (setrlimit) is POSIX only";
#else
  if (!AddressSpaceLimitUnusable().empty()) GTEST_SKIP() << AddressSpaceLimitUnusable();
  const std::string module = ModuleOf(harness::FLOORS.back());
  // One line of a gigabyte (a sparse file of zeros) for the Python logger.
  const std::filesystem::path huge = folder_ / "huge.log";
  std::ofstream{huge};
  std::filesystem::resize_file(huge, uintmax_t{1} << 30);
  const std::string many = Write("many.log", LongLines(20000)).string();
  const std::string most = Write("most.log", LongLines(200000)).string();
  const std::string folder = NewHostFolder("out");
  struct Row {
    std::vector<std::string> arguments;
    rlim_t megabytes;
    std::string stage;  // where it stops; empty: it may stop anywhere, or pass
  };
  const std::vector<Row> rows = {
      {{"--python-log", huge.string(), module}, 160, "reading the log files"},
      // The lines read (some 90 MB), their host copies are not (as much again).
      {{"--host-folder", folder, "--default-log", most, module}, 160, "storing the log lines"},
      {{"--host-folder", folder, "--default-log", many, module}, 20, ""},
      {{"--host-folder", folder, "--default-log", many, module}, 25, ""},
      {{"--host-folder", folder, "--default-log", many, module}, 30, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments[row.arguments.size() - 2] + " in " + std::to_string(row.megabytes) + " MB");
    const Outcome outcome = HostLimited(row.arguments, RLIMIT_AS, row.megabytes << 20);
    EXPECT_FALSE(Contains(outcome.err, "outlive")) << outcome.err.substr(0, 2000);
    if (!row.stage.empty()) {
      EXPECT_EQ(outcome.exit, 5);
      EXPECT_EQ(outcome.err, "harlwick-host: stopped while " + row.stage + ": out of memory\n");
      EXPECT_EQ(outcome.out, "");
      EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output"));
      continue;
    }
    EXPECT_TRUE(outcome.exit == 0 || outcome.exit == 1 || outcome.exit == 5) << outcome.exit;
    EXPECT_LE(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 3) << outcome.err.substr(0, 2000);
    if (outcome.exit == 5) {
      EXPECT_EQ(outcome.err.rfind("harlwick-host: stopped ", 0), 0u) << outcome.err.substr(0, 2000);
      EXPECT_TRUE(Contains(outcome.err, ": out of memory\n")) << outcome.err.substr(0, 2000);
    }
  }

  // Every limit from one the program cannot start in to one the sample
  // session fits in: the C++ runtime may lack even the room to throw.
  int passed = 0;
  int stopped = 0;
  for (rlim_t kilobytes = 1024; kilobytes < 64 * 1024 && passed == 0; kilobytes += 16) {
    const Outcome outcome = HostLimited({"--host-folder", folder, "--runs", "0", module}, RLIMIT_AS, kilobytes << 10);
    // The system's loader could not start the program at all: no word of the host's.
    if (outcome.exit == 127 && outcome.err.rfind("harlwick-host: ", 0) != 0) continue;
    SCOPED_TRACE(std::to_string(kilobytes) + " KB");
    ASSERT_TRUE(outcome.exit >= 0 && outcome.exit <= 5) << outcome.exit << "\n" << outcome.err.substr(0, 2000);
    EXPECT_LE(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 3) << outcome.err.substr(0, 2000);
    EXPECT_FALSE(Contains(outcome.err, "outlive")) << outcome.err.substr(0, 2000);
    if (outcome.exit == 5) ++stopped;
    if (outcome.exit == 0) ++passed;
  }
  EXPECT_EQ(passed, 1) << "the session fits in 64 MB";
  EXPECT_GT(stopped, 0) << "some limit stopped the host";
#endif
}

// A session whose runs outgrow the memory: every run writes twice the lines
// of the one before, so 30 runs would need about 400 GB. Wherever the limit
// strikes (inside a table entry, in the ledger's own records, as the host
// ends), the program says so in one line, or the runs answer false, and
// nothing the host took is left over.
TEST_F(Cli, SessionThatOutgrowsTheMemoryEndsWithOneLine) {
#ifdef _WIN32
  GTEST_SKIP() << "the address-space limit (setrlimit) is POSIX only";
#else
  if (!AddressSpaceLimitUnusable().empty()) GTEST_SKIP() << AddressSpaceLimitUnusable();
  const std::filesystem::path standard = folder_ / "default.log";
  std::ofstream(standard, std::ios::binary) << LongLines(200);
  const std::string folder = NewHostFolder("out");
  for (const rlim_t megabytes : {60, 130, 200}) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB");
    const Outcome outcome = HostLimited(
        {"--host-folder", folder, "--default-log", standard.string(), "--runs", "30", ModuleOf(harness::FLOORS.back())},
        RLIMIT_AS, megabytes << 20);
    EXPECT_TRUE(outcome.exit >= 0 && outcome.exit <= 5) << outcome.exit << "\n" << outcome.err.substr(0, 2000);
    EXPECT_NE(outcome.exit, 4) << "nothing is left held: " << outcome.out.substr(outcome.out.size() - 500);
    EXPECT_LE(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err.substr(0, 2000);
    if (outcome.exit == 5) {
      EXPECT_TRUE(Contains(outcome.err, "harlwick-host: stopped") && Contains(outcome.err, "out of memory"))
          << outcome.err;
    } else {
      EXPECT_TRUE(outcome.err.empty()) << outcome.err.substr(0, 2000);
    }
    // The runs that passed were reported as they ended.
    EXPECT_TRUE(Contains(outcome.out, "run 1: Quistmoor answered true\n")) << outcome.out.substr(0, 2000);
    // A file left by a run that answered false is not presented as complete.
    const size_t shown = outcome.out.find("== " + (std::filesystem::path(folder) / "consolelog.txt").string() + " (");
    if (outcome.exit != 0 && shown != std::string::npos) {
      EXPECT_TRUE(Contains(outcome.out.substr(shown, 200), "incomplete")) << outcome.out.substr(shown, 200);
    }
  }
#endif
}

// A report that standard output does not take is told in one line, with
// the system's reason, and an exit code of its own; the log file the run
// wrote holds what it should, and none of the report.
TEST_F(Cli, LostReportExitsSixWithOneLine) {
#ifdef _WIN32
  GTEST_SKIP() << "a full device, a closed descriptor and a file-size limit (setrlimit) are POSIX only";
#else
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::string standard = Write("default.log", "one\n").string();
  const std::string folder = NewHostFolder("out");
  const std::vector<std::string> session = {"--host-folder", folder, "--default-log", standard, module};
  struct Row {
    std::string name;
    std::vector<std::string> arguments;
    Child child;
    int reason;  // the errno told
  };
  // Above the log file's size and the complaint's, below the report's.
  constexpr rlim_t LIMIT = 200;
  const std::vector<Row> rows = {
      {"full device", session, {-1, 0, Output::FullDevice}, ENOSPC},
      {"closed", session, {-1, 0, Output::Closed}, EBADF},
      {"file-size limit", session, {RLIMIT_FSIZE, LIMIT, Output::File}, EFBIG},
      {"help on a full device", {"--help"}, {-1, 0, Output::FullDevice}, ENOSPC},
  };
  const std::filesystem::path log = std::filesystem::path(folder) / "consolelog.txt";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(log);
    const Outcome outcome = Spawn(row.arguments, row.child);
    ExpectOneLineComplaint(outcome, 6);
    EXPECT_EQ(outcome.err, "harlwick-host: the report could not be written to standard output: " +
                               std::string(std::strerror(row.reason)) + "\n");
    if (row.arguments.size() > 1) {
      EXPECT_EQ(ReadBytes(log), harness::ExpectedLog({"one"}));
    }
    if (row.child.output == Output::File) {
      EXPECT_EQ(outcome.out.size(), LIMIT);
      EXPECT_EQ(outcome.out.rfind("loaded ", 0), 0u) << outcome.out;
    }
  }
#endif
}

// However many host objects outlive the host, it says so in one line that
// names the first few.
TEST_F(Cli, ObjectsOutlivingTheHostAreOneLine) {
  struct Row {
    int objects;
    std::string more;  // the end of the line
  };
  for (const Row& row : {Row{1, " made at kept.cpp:0\n"}, Row{3, "\n"}, Row{1000, "; and 997 more\n"}}) {
    SCOPED_TRACE(row.objects);
    standin::HostOptions options;
    options.abortOnLeak = false;
    testing::internal::CaptureStderr();
    {
      standin::Host host(options);
      // Memory as a module would keep it past its end (the ledger frees it with the host).
      for (int index = 0; index < row.objects; ++index)
        ASSERT_NE(host.Table()->alloc(8, brn_source_location{"kept.cpp", index}), nullptr);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err.substr(0, 2000);
    EXPECT_EQ(
        err.rfind("harlwick-host: " + std::to_string(row.objects) + " host objects outlive the host: Allocation #", 0),
        0u)
        << err.substr(0, 2000);
    EXPECT_EQ(std::count(err.begin(), err.end(), '#'), std::min(row.objects, 3)) << err.substr(0, 2000);
    EXPECT_TRUE(err.size() >= row.more.size() &&
                err.compare(err.size() - row.more.size(), row.more.size(), row.more) == 0)
        << err.substr(0, 2000);
  }
}

class CliModule : public Cli, public ::testing::WithParamInterface<uint32_t> {
 protected:
  std::string Module() { return ModuleOf(GetParam()); }
};

TEST_P(CliModule, HostBelowTheFloorExitsThree) {
  const Outcome outcome = Host({"--api-version", std::to_string(GetParam() - 1), Module()});
  ExpectOneLineComplaint(outcome, 3);
  EXPECT_TRUE(Contains(outcome.err, "the module refused to load")) << outcome.err;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output")) << "a refused module makes no host folder";
}

TEST_P(CliModule, SessionWritesTheLogAndReleasesEverything) {
  const std::string folder = NewHostFolder("out");
  const std::string python = Write("python.log", "print('ready')\n").string();
  const std::string lines = "first\r\nzweite Zeile \xE2\x82\xAC\n";
  const std::filesystem::path standard = Write("default.log", lines);
  const std::string marked = Write("marked.log", "\xEF\xBB\xBF" + lines).string();
  // A module whose name starts as an option does, in the current folder.
  std::filesystem::copy_file(Module(), folder_ / "-module.xdl64");
  const std::string floor = std::to_string(GetParam());
  struct Row {
    std::string name;
    std::vector<std::string> arguments;
    Setting setting = {};
    std::string skip = {};  // why the row cannot run here, if it cannot
  };
  const std::vector<Row> rows = {
      // Exactly at the floor, and the host's own version.
      {"at the floor",
       {"--host-folder", folder, "--api-version", floor, "--python-log", python, "--default-log", standard.string(),
        Module()}},
      {"the host's version",
       {"--host-folder", folder, "--api-version", "2025000", "--python-log", python, "--default-log", standard.string(),
        Module()}},
      {"--option=value and --",
       {"--host-folder=" + folder, "--api-version=" + floor, "--python-log=" + python,
        "--default-log=" + standard.string(), "--runs=1", "--", "-module.xdl64"}},
      {"a byte-order mark", {"--host-folder", folder, "--python-log", python, "--default-log", marked, Module()}},
#ifdef _WIN32
      {"a log through a pipe", {}, {}, "/dev/stdin is POSIX only"},
#else
      {"a log through a pipe",
       {"--host-folder", folder, "--python-log", python, "--default-log", "/dev/stdin", Module()},
       {{}, standard}},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.skip.empty()) {
      std::cout << "[ skipped row ] " << row.name << ": " << row.skip << "\n";
      continue;
    }
    std::filesystem::remove(std::filesystem::path(folder) / "consolelog.txt");
    const Outcome outcome = Host(row.arguments, row.setting);
    EXPECT_EQ(outcome.exit, 0) << outcome.out << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(Section(outcome.out, "console"), "Quistmoor succesvol");
    EXPECT_EQ(Section(outcome.out, "runs"), "run 1: Quistmoor answered true");
    EXPECT_TRUE(Contains(outcome.out, "== host objects: every one the module took was released ==")) << outcome.out;
    EXPECT_EQ(ReadBytes(std::filesystem::path(folder) / "consolelog.txt"),
              harness::ExpectedLog({"first", "zweite Zeile \xE2\x82\xAC"}));
  }
}

TEST_P(CliModule, DiagnosticsAddNothingWhenRegistrationSucceeds) {
  const Outcome plain = Host({"--host-folder", NewHostFolder("plain"), Module()});
  const Outcome diagnosed = Host({"--host-folder", NewHostFolder("diagnosed"), "--diagnostics", Module()});
  EXPECT_EQ(plain.exit, 0);
  EXPECT_EQ(diagnosed.exit, 0);
  EXPECT_EQ(Section(diagnosed.out, "console"), Section(plain.out, "console"));
  EXPECT_EQ(Section(diagnosed.out, "console"), "Quistmoor succesvol");
  EXPECT_EQ(diagnosed.err, "");
}

INSTANTIATE_TEST_SUITE_P(AllGenerations, CliModule, ::testing::ValuesIn(harness::FLOORS), harness::FloorName);

}  // namespace
