#include "support/harness.h"

#include <fstream>
#include <random>
#include <sstream>

#include "standin/utf8.h"

namespace harness {

std::filesystem::path ModulePath(uint32_t floor) {
  return std::filesystem::path(HARLWICK_MODULES_DIR) / ("harlwick-" + std::to_string(floor)) / "harlwick.xdl64";
}

std::string FloorName(const ::testing::TestParamInfo<uint32_t>& info) {
  return "Floor" + std::to_string(info.param);
}

standin::OddAnswers AnswersOf(const Setup& setup) {
  standin::OddAnswers answers;
  answers.noErrorSlot = setup.answer == HostAnswer::NoErrorSlot;
  answers.emptyListWithStorage = setup.answer == HostAnswer::EmptyListWithStorage;
  answers.resizeRefusesNull = setup.answer == HostAnswer::ResizeRefusesNull;
  return answers;
}

namespace {

std::vector<Setup> Hosts(std::initializer_list<Setup> hosts) {
  std::vector<Setup> setups;
  for (const uint32_t floor : FLOORS) {
    for (Setup setup : hosts) {
      setup.floor = floor;
      setups.push_back(setup);
    }
  }
  return setups;
}

constexpr Setup USUAL{};
constexpr Setup END_AFTER{0, standin::EndOrder::ObjectsAfter};
constexpr Setup NO_ERROR_SLOT{0, standin::EndOrder::ObjectsFirst, HostAnswer::NoErrorSlot};
constexpr Setup EMPTY_LIST_WITH_STORAGE{0, standin::EndOrder::ObjectsFirst, HostAnswer::EmptyListWithStorage};
constexpr Setup RESIZE_REFUSES_NULL{0, standin::EndOrder::ObjectsFirst, HostAnswer::ResizeRefusesNull};

}  // namespace

std::vector<Setup> Generations() {
  return Hosts({USUAL});
}
std::vector<Setup> BothEndOrders() {
  return Hosts({USUAL, END_AFTER});
}
std::vector<Setup> OddAnswersToo() {
  return Hosts({USUAL, NO_ERROR_SLOT, EMPTY_LIST_WITH_STORAGE, RESIZE_REFUSES_NULL});
}
std::vector<Setup> EveryHost() {
  return Hosts({USUAL, END_AFTER, NO_ERROR_SLOT, EMPTY_LIST_WITH_STORAGE, RESIZE_REFUSES_NULL});
}

void PrintTo(const Setup& setup, std::ostream* out) {
  *out << SetupName({setup, 0});
}

std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
  std::string name = "Floor" + std::to_string(info.param.floor);
  if (info.param.end == standin::EndOrder::ObjectsAfter) name += "EndAfter";
  switch (info.param.answer) {
    case HostAnswer::Usual:
      break;
    case HostAnswer::NoErrorSlot:
      name += "NoErrorSlot";
      break;
    case HostAnswer::EmptyListWithStorage:
      name += "EmptyListWithStorage";
      break;
    case HostAnswer::ResizeRefusesNull:
      name += "ResizeRefusesNull";
      break;
  }
  return name;
}

std::vector<std::u32string> Lines(std::initializer_list<const char*> utf8) {
  std::vector<std::u32string> lines;
  for (const char* line : utf8) lines.push_back(standin::DecodeUtf8(line));
  return lines;
}

standin::LoggerTypeSpec Storing(std::initializer_list<const char*> utf8) {
  standin::LoggerTypeSpec type;
  type.lines = Lines(utf8);
  return type;
}

standin::LoggerTypeSpec NotStoring() {
  standin::LoggerTypeSpec type;
  type.storesLines = false;
  return type;
}

standin::LoggerTypeSpec EmptyEntry() {
  standin::LoggerTypeSpec type;
  type.emptyEntry = true;
  return type;
}

void ModuleTest::SetUp() {
  std::random_device random;
  folder_ = std::filesystem::temp_directory_path() /
            ("harlwick-test-" + std::to_string(random()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(folder_);
  standin::HostOptions options;
  options.hostFolder = folder_;
  options.abortOnLeak = false;
  options.trace = true;
  options.endOrder = GetParam().end;
  options.answers = AnswersOf(GetParam());
  host_ = std::make_unique<standin::Host>(options);
  std::string error;
  module_ = standin::ModuleFile::Open(ModulePath(Floor()), options.frameworks, error);
  ASSERT_TRUE(module_) << error;
  life_ = std::make_unique<standin::ModuleLife>(*host_, *module_);
}

void ModuleTest::TearDown() {
  if (loaded_) Unload();
  if (host_) ExpectBalanced();
  life_.reset();
  module_.reset();
  host_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void ModuleTest::Load() {
  ASSERT_EQ(Life().Init(), 1);
  loaded_ = true;
  ASSERT_EQ(Life().Start(), 1);
  ASSERT_EQ(Life().Message(BRN_MESSAGE_INIT_RESOURCE), 1);
}

void ModuleTest::Unload() {
  EXPECT_EQ(Life().End(), 1);
  loaded_ = false;
}

bool ModuleTest::Run() {
  const std::optional<bool> answer = Host().RunCommand(QUISTMOOR_ID);
  EXPECT_TRUE(answer.has_value()) << "the command is not registered";
  return answer.value_or(false);
}

std::optional<std::string> ModuleTest::LogBytes() const {
  std::ifstream in(LogFile(), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> ModuleTest::Outputs() const {
  std::vector<std::string> texts;
  for (const standin::LogOutput& output : host_->DefaultLoggerOutputs()) texts.push_back(output.text);
  return texts;
}

std::vector<std::string> ModuleTest::Boxes() const {
  std::vector<std::string> texts;
  for (const standin::MessageBoxRecord& box : host_->MessageBoxes()) texts.push_back(box.text);
  return texts;
}

void ModuleTest::ExpectBalanced() {
  const std::vector<std::string> held = host_->GetLedger().ModuleHeldReport();
  std::string report;
  for (const std::string& line : held) report += "\n  " + line;
  EXPECT_TRUE(held.empty()) << "host objects the module still holds:" << report;
  std::string faults;
  for (const std::string& line : host_->ProtocolFaults()) faults += "\n  " + line;
  EXPECT_TRUE(host_->ProtocolFaults().empty()) << "the module broke the host's rules:" << faults;
}

std::string ExpectedLog(std::initializer_list<const char*> utf8Lines) {
  std::string bytes = "Start log regels.\n";
  for (const char* line : utf8Lines) bytes += std::string(line) + "\n";
  return bytes + "Einde log regels.\n";
}

}  // namespace harness
