// The command-line host harlwick-host: its exit codes, its one-line
// complaints and a whole session with each generation's module.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

  // Runs the host in the test's folder with these arguments.
  Outcome Host(const std::vector<std::string>& arguments) {
    // Absolute paths: the host runs in the test's folder.
    std::string command = CHANGE_FOLDER + Quoted(folder_.string()) + " && " +
                          Quoted(std::filesystem::absolute(HARLWICK_HOST_EXE).string());
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    const std::filesystem::path out = folder_ / "stdout.txt";
    const std::filesystem::path err = folder_ / "stderr.txt";
    command += " >" + Quoted(out.string()) + " 2>" + Quoted(err.string());
    Outcome outcome;
    outcome.exit = ExitCode(std::system(command.c_str()));
    outcome.out = ReadText(out);
    outcome.err = ReadText(err);
    return outcome;
  }

#ifndef _WIN32
  // Runs the host as Host() does, in a child process whose `resource` is
  // limited to `limit`. Its output goes through a pipe, which a limit on
  // the size of files does not cut short.
  Outcome HostLimited(const std::vector<std::string>& arguments, int resource, rlim_t limit) {
    const std::string program = std::filesystem::absolute(HARLWICK_HOST_EXE).string();
    const std::string errors = (folder_ / "stderr.txt").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int output[2];
    if (pipe(output) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
      const int errorFile = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const rlimit bound{limit, limit};
      if (errorFile < 0 || chdir(folder_.c_str()) != 0 || dup2(output[1], 1) < 0 || dup2(errorFile, 2) < 0 ||
          setrlimit(resource, &bound) != 0)
        _exit(126);
      close(output[0]);
      // A write beyond a file size limit fails instead of ending the program.
      std::signal(SIGXFSZ, SIG_IGN);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(output[1]);
    Outcome outcome;
    char buffer[1 << 16];
    for (ssize_t got; (got = read(output[0], buffer, sizeof(buffer))) > 0;)
      outcome.out.append(buffer, static_cast<size_t>(got));
    close(output[0]);
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child) status = -1;
    outcome.exit = ExitCode(status);
    outcome.err = ReadText(errors);
    return outcome;
  }
#endif

  // A fresh, empty host folder.
  std::string NewHostFolder(const std::string& name) {
    const std::filesystem::path folder = folder_ / name;
    std::filesystem::create_directories(folder);
    return folder.string();
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

TEST_F(Cli, HelpExitsZero) {
  const Outcome outcome = Host({"--help"});
  EXPECT_EQ(outcome.exit, 0);
  EXPECT_EQ(outcome.err, "");
  // What the options do to the host's loggers, and every exit code.
  for (const char* said : {"usage: harlwick-host", "a run keeps only the last type's lines", "without it the",
                           "Python logger's lines into consolelog.txt", "\"Message: <line>\"", "0 to 1000", "\n  0  ",
                           "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ", "\n  5  "})
    EXPECT_TRUE(Contains(outcome.out, said)) << said << "\n" << outcome.out;
}

TEST_F(Cli, WrongArgumentsExitTwoWithOneLine) {
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::string folder = NewHostFolder("out");
  struct Row {
    std::vector<std::string> arguments;
    std::string said;  // part of the complaint, if it matters
  };
  const std::vector<Row> wrong = {
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
      {{"--python-log", (folder_ / "absent.log").string(), module}, "cannot read log file"},
      {{"--host-folder", (folder_ / "absent").string(), module}, "no host folder"},
  };
  for (const Row& row : wrong) {
    std::string shown;
    for (const std::string& argument : row.arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    const Outcome outcome = Host(row.arguments);
    ExpectOneLineComplaint(outcome, 2);
    EXPECT_TRUE(Contains(outcome.err, row.said)) << outcome.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "nothing ran";
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output")) << "no module loaded, no host folder made";
}

TEST_F(Cli, FilesThatAreNoModuleExitThree) {
  const std::filesystem::path real = harness::ModulePath(harness::FLOORS.back());
  const std::string bytes = ReadBytes(real);
  ASSERT_GT(bytes.size(), 40000u);
  auto write = [this](const std::string& name, const std::string& content) {
    std::ofstream(folder_ / name, std::ios::binary) << content;
    return folder_ / name;
  };
  std::mt19937 random(10);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  struct Row {
    std::filesystem::path module;
    std::string said;
  };
  std::vector<Row> rows = {
      {folder_ / "missing.xdl64", "no module file"},
      {folder_, "no module file"},
      {write("empty.xdl64", ""), "not a shared library of this platform"},
      {write("notes.xdl64", "not a module\n"), "not a shared library of this platform"},
      {write("noise.xdl64", noise), "not a shared library of this platform"},
      // A broken copy or an interrupted download of a real module.
      {write("cut-10.xdl64", bytes.substr(0, 10)), "not a "},
      {write("cut-1000.xdl64", bytes.substr(0, 1000)), "not a complete shared library: the file ends at byte 1000"},
      {write("cut-5000.xdl64", bytes.substr(0, 5000)), "not a complete shared library: the file ends at byte 5000"},
      {write("cut-20000.xdl64", bytes.substr(0, 20000)), "not a complete shared library: the file ends at byte 20000"},
      {write("cut-half.xdl64", bytes.substr(0, bytes.size() / 2)), "not a complete shared library"},
      {write("cut-last.xdl64", bytes.substr(0, bytes.size() - 1)), "not a complete shared library"},
  };
#ifndef _WIN32
  // Without section headers (as a stripped library may be), a file cut
  // short is still told by its loadable segments.
  std::string stripped = bytes;
  std::fill_n(stripped.begin() + 0x28, 8, '\0');  // e_shoff
  std::fill_n(stripped.begin() + 0x3C, 2, '\0');  // e_shnum
  rows.push_back({write("cut-stripped.xdl64", stripped.substr(0, 20000)), "before the end of its loadable segment"});
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.module.string());
    const Outcome outcome = Host({row.module.string()});
    ExpectOneLineComplaint(outcome, 3);
    EXPECT_TRUE(Contains(outcome.err, row.module.string())) << "the complaint names the file: " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, row.said)) << outcome.err;
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output")) << "no module loaded, no host folder made";
  // The whole copy loads, by a bare name in the current folder.
  const Outcome copied = Host({write("harlwick.xdl64", bytes).filename().string()});
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
// and an exit code of its own, never a crash.
TEST_F(Cli, RunningOutOfMemoryEndsWithOneLine) {
#ifdef _WIN32
  GTEST_SKIP() << "the address-space limit (setrlimit) is POSIX only";
#else
  if (!AddressSpaceLimitUnusable().empty()) GTEST_SKIP() << AddressSpaceLimitUnusable();
  // One line of a gigabyte (a sparse file of zeros) for the Python logger.
  const std::filesystem::path huge = folder_ / "huge.log";
  std::ofstream{huge};
  std::filesystem::resize_file(huge, uintmax_t{1} << 30);
  const Outcome outcome =
      HostLimited({"--python-log", huge.string(), ModuleOf(harness::FLOORS.back())}, RLIMIT_AS, rlim_t{160} << 20);
  ExpectOneLineComplaint(outcome, 5);
  EXPECT_EQ(outcome.err, "harlwick-host: stopped while reading the log files: out of memory\n");
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "harlwick-output"));
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
  const std::filesystem::path python = folder_ / "python.log";
  const std::filesystem::path standard = folder_ / "default.log";
  std::ofstream(python, std::ios::binary) << "print('ready')\n";
  std::ofstream(standard, std::ios::binary) << "first\r\nzweite Zeile \xE2\x82\xAC\n";
  // Exactly at the floor, and the host's own version.
  for (const std::string& version : {std::to_string(GetParam()), std::string("2025000")}) {
    SCOPED_TRACE("API version " + version);
    std::filesystem::remove(std::filesystem::path(folder) / "consolelog.txt");
    const Outcome outcome = Host({"--host-folder", folder, "--api-version", version, "--python-log", python.string(),
                                  "--default-log", standard.string(), Module()});
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
