#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The texts the service tool shows and the formatters of what it shows about
// a device: one place for the window, vornctl and the tests.
namespace Text {

inline constexpr const char* errorCaption = "Error";
// The confirmation dialog's mismatch box has its own, upper-case caption.
inline constexpr const char* mismatchCaption = "ERROR";
inline constexpr const char* successCaption = "Success";

inline constexpr const char* invalidSerialFormat =
    "Invalid serial number format, please enter a valid serial number containing only digits.";
inline constexpr const char* serialMismatch =
    "The entered serial number does not match the first serial number given. Please confirm "
    "the serial number by typing it again.";
inline constexpr const char* confirmSerial = "Please confirm serial number to complete operation:";
inline constexpr const char* serialChanged = "Serial number successfully changed.";
inline constexpr const char* serialSetFailed =
    "Could not set serial number, a communication error occurred.";
// An acknowledged write whose read-back shows another number.
inline constexpr const char* serialNotKept =
    "The device acknowledged the serial number, but reads back another one.";
// After a journal error about a write's outcome, in place of the success box.
inline constexpr const char* serialWrittenNotRecorded =
    "The device took the serial number, but the journal does not record it.";
inline constexpr const char* addressInUse =
    "The selected IP address is already in use, this is most likely because another Vorn "
    "application is running. Please shut it down and try again. The Vorn service tool will now "
    "shut down.";
inline constexpr const char* invalidInterface = "Invalid network interface selected";
inline constexpr const char* mainWindowFailed = "Could not create main application window";
inline constexpr const char* childWindowsFailed = "Unable to create child windows, quitting.";
// An error without a text of its own.
inline constexpr const char* unexpectedError = "An unexpected error occurred.";
// "{serial}" is replaced by the number, or by "..." while it is unknown.
inline constexpr const char* currentSerial = "Current serial number: {serial}";
inline constexpr const char* serialPlaceholder = "{serial}";
inline constexpr const char* serialPending = "...";
inline constexpr const char* unknownName = "Unknown";

// vornctl's own.
inline constexpr const char* serialReadFailed =
    "Could not read serial number, a communication error occurred.";

} // namespace Text

// The products the service tool works on: type codes 10 to 13.
bool isServicedType(unsigned deviceType);

// "%08x:%08x" of the high and low 32 bits: 17 characters, lower-case hex.
std::string formatDeviceId(std::uint64_t id);

// A serial number as the window shows it: "%d" of the 32 bits, so 4294967295
// reads -1.
std::string formatSerial(std::uint32_t serial);

// `pattern` (the current-serial text) with its first "{serial}" replaced by
// `serialText`; unchanged when it holds none.
std::string fillSerial(std::string_view pattern, std::string_view serialText);
// The current-serial text with the number in place.
std::string formatCurrentSerial(std::uint32_t serial);

// The number a user typed, read as sscanf's "%d" reads it: leading white
// space skipped, an optional sign, decimal digits; whatever follows is
// ignored. None when no digit follows. Values beyond int wrap to 32 bits.
std::optional<int> parseSerial(std::string_view text);
