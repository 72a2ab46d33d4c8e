// The command-line host harlwick-host: its exit codes, its one-line
// complaints and a whole session with each generation's module.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdlib>
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
  EXPECT_TRUE(Contains(outcome.out, "usage: harlwick-host")) << outcome.out;
  EXPECT_EQ(outcome.err, "");
}

TEST_F(Cli, WrongArgumentsExitTwoWithOneLine) {
  const std::string module = ModuleOf(harness::FLOORS.back());
  const std::string folder = NewHostFolder("out");
  const std::vector<std::vector<std::string>> wrong = {
      {"--bogus", module},
      {"-x", module},
      {},
      {module, module},
      {module, "--runs"},
      {module, "--api-version"},
      {module, "--host-folder"},
      {module, "--python-log"},
      {"--host-folder", folder, "--runs", "many", module},
      {"--host-folder", folder, "--runs", "-1", module},
      {"--host-folder", folder, "--runs", "3x", module},
      {"--host-folder", folder, "--runs", "", module},
      {"--host-folder", folder, "--runs", "99999999999999999999", module},
      {"--host-folder", folder, "--api-version", "new", module},
      {"--host-folder", folder, "--api-version", "-1", module},
      {"--host-folder", folder, "--api-version", "4294967296", module},
      {"--host-folder", folder, "--api-version", "2025000.0", module},
      {"--host-folder", folder, "--python-log", (folder_ / "absent.log").string(), module},
      {"--host-folder", (folder_ / "absent").string(), module},
  };
  for (const std::vector<std::string>& arguments : wrong) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    ExpectOneLineComplaint(Host(arguments), 2);
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "nothing ran";
}

TEST_F(Cli, FilesThatAreNoModuleExitThree) {
  const std::string folder = NewHostFolder("out");
  const std::filesystem::path text = folder_ / "notes.xdl64";
  std::ofstream(text) << "not a module\n";
  const std::filesystem::path empty = folder_ / "empty.xdl64";
  std::ofstream{empty};
  for (const std::filesystem::path& module : {folder_ / "missing.xdl64", text, empty, folder_}) {
    SCOPED_TRACE(module.string());
    const Outcome outcome = Host({"--host-folder", folder, module.string()});
    ExpectOneLineComplaint(outcome, 3);
    EXPECT_TRUE(Contains(outcome.err, module.string())) << "the complaint names the file: " << outcome.err;
  }
}

class CliModule : public Cli, public ::testing::WithParamInterface<uint32_t> {
 protected:
  std::string Module() { return ModuleOf(GetParam()); }
};

TEST_P(CliModule, HostBelowTheFloorExitsThree) {
  const std::string folder = NewHostFolder("out");
  const Outcome outcome = Host({"--host-folder", folder, "--api-version", std::to_string(GetParam() - 1), Module()});
  ExpectOneLineComplaint(outcome, 3);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder) / "consolelog.txt"));
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
