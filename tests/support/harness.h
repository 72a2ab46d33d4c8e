// The test harness: the stand-in host with one real module file of each
// generation loaded into it, and the checks every test ends with.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin/host.h"
#include "standin/loader.h"

namespace harness {

inline constexpr int32_t QUISTMOOR_ID = 1050115;
inline const std::vector<uint32_t> FLOORS = {20017, 23000, 2023000, 2024900};

// The built module file of one generation.
std::filesystem::path ModulePath(uint32_t floor);

// Test names such as "Floor2024900".
std::string FloorName(const ::testing::TestParamInfo<uint32_t>& info);

// An answer of the host's that a test may ask for in place of the usual one.
enum class HostAnswer { Usual, NoErrorSlot, EmptyListWithStorage, ResizeRefusesNull };

// What a module test runs against: one generation's module, in a host that
// ends plug-in objects in this order and gives this answer.
struct Setup {
  uint32_t floor = 0;
  standin::EndOrder end = standin::EndOrder::ObjectsFirst;
  HostAnswer answer = HostAnswer::Usual;
};
// The host's switches for a setup.
standin::OddAnswers AnswersOf(const Setup& setup);

// Every generation in the usual host.
std::vector<Setup> Generations();
// ... and in a host that ends plug-in objects after the module's last action 3.
std::vector<Setup> BothEndOrders();
// ... in the usual host and in one with each odd answer.
std::vector<Setup> OddAnswersToo();
// ... the late end and each odd answer, each alone.
std::vector<Setup> EveryHost();

// How a failing test names its setup.
void PrintTo(const Setup& setup, std::ostream* out);
// Test names such as "Floor2024900", "Floor2024900EndAfter", "Floor20017NoErrorSlot".
std::string SetupName(const ::testing::TestParamInfo<Setup>& info);

// UTF-32 lines from UTF-8 text.
std::vector<std::u32string> Lines(std::initializer_list<const char*> utf8);
// A line-storing logger type holding these lines.
standin::LoggerTypeSpec Storing(std::initializer_list<const char*> utf8);
// A logger type that keeps no lines.
standin::LoggerTypeSpec NotStoring();
// An empty entry in a logger's list of types.
standin::LoggerTypeSpec EmptyEntry();

// A host in a fresh host folder with the module of the test's generation
// opened (not yet loaded). TearDown ends the module when the test left it
// loaded and checks that it holds no host object any more.
class ModuleTest : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override;
  void TearDown() override;

  uint32_t Floor() const { return GetParam().floor; }
  HostAnswer Answer() const { return GetParam().answer; }

  standin::Host& Host() { return *host_; }
  standin::ModuleLife& Life() { return *life_; }
  const standin::ModuleFile& Module() { return *module_; }
  const std::filesystem::path& HostFolder() const { return folder_; }
  std::filesystem::path LogFile() const { return folder_ / "consolelog.txt"; }

  // Action 1, 2 and message 1, each expected to succeed.
  void Load();
  // Action 3 through the host (commands destroyed first).
  void Unload();
  // Runs the registered command; fails the test when it is not registered.
  bool Run();

  // The bytes of consolelog.txt; nullopt when there is none.
  std::optional<std::string> LogBytes() const;
  // The texts of the default logger's outputs, in order.
  std::vector<std::string> Outputs() const;
  // The texts of the message boxes, in order.
  std::vector<std::string> Boxes() const;

  // Expects every host object the module took to be released.
  void ExpectBalanced();

 private:
  std::filesystem::path folder_;
  std::unique_ptr<standin::Host> host_;
  std::unique_ptr<standin::ModuleFile> module_;
  std::unique_ptr<standin::ModuleLife> life_;
  bool loaded_ = false;
};

// The file a run writes for these lines: header, each line and a line feed, footer.
std::string ExpectedLog(std::initializer_list<const char*> utf8Lines);

}  // namespace harness
