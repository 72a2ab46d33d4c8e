#include "Quistmoor.h"

#include <utility>

#include "brannoc/console.h"
#include "brannoc/files.h"
#include "brannoc/logger.h"
#include "gathering.h"

namespace microsdk {

using namespace brannoc;

namespace {

// The source file that the command's outputs name.
constexpr const char* SOURCE_FILE = "..\\source\\Quistmoor";

constexpr Int32 QUISTMOOR_ID = 1050115;
constexpr Int32 QUISTMOOR_INFO = 0x30000000;

constexpr Int32 HOST_FOLDER_PATH = 8;
constexpr Int32 FILE_TYPE_BRNC = 0x42524E43;
constexpr Int32 FILE_CREATOR_BRN1 = 0x42524E31;

constexpr Utf32Char REPLACEMENT_CHARACTER = 0xFFFD;

// Writes a character of two to four UTF-8 bytes, one host write per byte. A
// code that is no Unicode scalar value becomes U+FFFD. False when a byte was
// lost.
Bool WriteMultiByteCharacter(const brn_host_api& host, HostFile* file, Utf32Char code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = REPLACEMENT_CHARACTER;
  Bool written = true;
  const auto write = [&host, file, &written](Utf32Char byte) {
    if (host.write_host_file_char(file, static_cast<UChar>(byte)) == 0) written = false;
  };
  if (code < 0x800) {
    write(0xC0 | (code >> 6));
  } else {
    if (code < 0x10000) {
      write(0xE0 | (code >> 12));
    } else {
      write(0xF0 | (code >> 18));
      write(0x80 | ((code >> 12) & 0x3F));
    }
    write(0x80 | ((code >> 6) & 0x3F));
  }
  write(0x80 | (code & 0x3F));
  return written;
}

// Writes the text's characters, each as its UTF-8 bytes, and releases the
// text. The length is read again before every character. False when a byte
// was lost.
Bool WriteStringToFile(HostFile* file, String text) {
  // The host's calls straight through the table, looked up once per text
  // (it stays the same while the module is loaded): an ASCII character costs
  // its three calls and the lost-write test, nothing more.
  const brn_host_api& host = Host();
  const brn_string* handle = text.GetHandle();
  Bool written = true;
  for (Int index = 0; index < host.string_get_length(handle); ++index) {
    const auto code = static_cast<Utf32Char>(host.string_get_char(handle, index));
    if (code < 0x80) [[likely]] {
      if (host.write_host_file_char(file, static_cast<UChar>(code)) == 0) [[unlikely]]
        written = false;
    } else if (!WriteMultiByteCharacter(host, file, code)) {
      written = false;
    }
  }
  return written;
}

// Writes a line and its line feed. A line whose text cannot be made is
// lost, so it counts as a failed write.
Bool WriteLine(HostFile* file, StringView line) {
  String text = ConcatStringCString(line, "\n");
  if (text.IsNull()) return false;
  return WriteStringToFile(file, std::move(text));
}

// The header or footer line, from the host's constant text of its literal.
// Without that text the line is lost, as a lost write would lose it.
Bool WriteFrameLine(HostFile* file, StringView text) {
  if (text.IsNull()) return false;
  return WriteLine(file, text);
}

// "consolelog.txt" in the host folder; null when the host cannot make it.
HostFileName* MakeLogFileName() {
  HostFileName* name = FileNameFromCString("consolelog.txt");
  HostFileName* folder = GetHostPath(HOST_FOLDER_PATH);
  HostFileName* logName = JoinFileName(folder, name);
  FreeFileName(folder);
  FreeFileName(name);
  return logName;
}

// Reports every line that holds the end marker to the default logger, in
// array order; answers whether any did. The run owns `marker`; when it
// cannot be made it stays null, the empty text.
Bool ReportEndMarkerLines(const StringArray& lines, String& marker) {
  Bool found = false;
  (void)marker.SetCString("Velmaris logging done!");
  for (const String& line : lines) {
    if (StringFind(line, marker, 0) == -1) continue;
    LogToDefaultLogger(TARGETAUDIENCE::ALL, WRITEMETA::DEFAULT, FormatText("FOUND @ - @", marker, line), __LINE__,
                       SOURCE_FILE);
    found = true;
  }
  return found;
}

// The file phase: opens consolelog.txt, writes the header, gathers the
// default logger's lines into `lines`, writes each (echoed to the default
// logger) and the footer, and closes the file. True when the file holds
// every line; false when it does not open, the read fails or a write is lost.
Bool WriteConsoleLog(StringArray& lines) {
  HostFileName* logName = MakeLogFileName();
  HostFile* file = AllocHostFile();
  // A missing file object is a file that does not open.
  if (file == nullptr || !OpenHostFile(file, logName, FILEOPEN::WRITE, FILEDIALOG::NONE, BYTEORDER::V_MOTOROLA,
                                       FILE_TYPE_BRNC, FILE_CREATOR_BRN1)) {
    FreeHostFile(file);
    FreeFileName(logName);
    return false;
  }

  Bool complete = WriteFrameLine(file, ConstString("Start log regels."));

  Logger defaultLogger = DefaultLoggerDeclaration().Get();
  if (GatherLines(defaultLogger, lines).Failed()) {
    (void)CloseHostFile(file);
    FreeHostFile(file);
    defaultLogger = Logger();
    FreeFileName(logName);
    return false;
  }

  for (const String& line : lines) {
    LogToDefaultLogger(TARGETAUDIENCE::ALL, WRITEMETA::DEFAULT, FormatText("Message: @", line), __LINE__, SOURCE_FILE);
    if (!WriteLine(file, line)) complete = false;
  }

  if (!WriteFrameLine(file, ConstString("Einde log regels."))) complete = false;
  if (!CloseHostFile(file)) complete = false;
  FreeHostFile(file);
  defaultLogger = Logger();
  FreeFileName(logName);
  return complete;
}

}  // namespace

void RegisterQuistmoor() {
  Quistmoor* command = NewObj<Quistmoor>(SourceLocation{SOURCE_FILE, __LINE__});
  if (command == nullptr) {
    if (const ErrorSlot slot = CreateStandardError(SourceLocation{SOURCE_FILE, __LINE__}, ERRORKIND::OUT_OF_MEMORY)) {
      const String text = slot.ToString();
      DiagnosticOutputErrorText(text);
    }
  }
  // Without the host's text of the name, registration fails before the host
  // is asked.
  if (!RegisterCommandPlugin(QUISTMOOR_ID, ConstString("Quistmoor"), QUISTMOOR_INFO, nullptr, StringView(), command)) {
    ConsoleOutputText(OUTPUT::DIAGNOSTIC, "Could not register plugin - Quistmoor.", __LINE__, SOURCE_FILE);
    // Only an accepted command is reported as a success.
    return;
  }
  // Without the host's text of the line, there is nothing to print.
  const StringView success = ConstString("Quistmoor succesvol");
  if (!success.IsNull()) PrintToHostConsole(success);
}

Bool Quistmoor::RunCommand(BaseDocument* /*doc*/, GeDialog* /*parentManager*/) {
  // Declared so that the common exit releases the marker, the Python logger,
  // its identifier and then the lines, in that order.
  StringArray lines;
  const Id pythonId("net.brannoc.logger.python");
  const Logger python = FindLogger(LOGGER_REGISTRY, pythonId);
  String marker;

  if (GatherLines(python, lines).Failed()) return false;
  if (ReportEndMarkerLines(lines, marker)) return true;
  return WriteConsoleLog(lines);
}

}  // namespace microsdk
