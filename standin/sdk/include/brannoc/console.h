// The host console and message box.
#pragma once

#include "brannoc/base.h"
#include "brannoc/string.h"

namespace brannoc {

enum class OUTPUT : Int32 {
  DIAGNOSTIC = BRN_OUTPUT_DIAGNOSTIC,
  WARNING = BRN_OUTPUT_WARNING,
  CRITICAL = BRN_OUTPUT_CRITICAL
};

enum class GEMB : Int32 { OK = BRN_GEMB_OK, ICONEXCLAMATION = BRN_GEMB_ICONEXCLAMATION };

// One line on the host console, always shown.
inline void PrintToHostConsole(StringView text) noexcept {
  Host().print_to_console(text.GetHandle());
}

// One console line at `level`, shown when the console output type holds it.
inline void ConsoleOutputText(OUTPUT level, const char* utf8, Int32 line, const char* file) noexcept {
  Host().console_output_text(static_cast<Int32>(level), utf8, line, file);
}
inline void ConsoleOutputString(OUTPUT level, StringView text, Int32 line, const char* file) noexcept {
  Host().console_output_string(static_cast<Int32>(level), text.GetHandle(), line, file);
}

// The SDK's own diagnostic output of an error's text; its source location
// is this header's.
inline void DiagnosticOutputErrorText(StringView text) noexcept {
  ConsoleOutputString(OUTPUT::DIAGNOSTIC, text, __LINE__, __FILE__);
}

// The host's modal message box; its answer is of no interest here.
inline void ShowErrorMessage(StringView text, GEMB flags = GEMB::ICONEXCLAMATION) noexcept {
  (void)Host().show_error_message(text.GetHandle(), static_cast<Int32>(flags));
}

}  // namespace brannoc
