#pragma once

// Texts shared with the service tool's window, and the few of vornctl's own.
namespace Vornctl::Text {

// Captions of the tool's message boxes, used as prefixes on the console.
inline constexpr const char* errorCaption = "Error";
inline constexpr const char* mismatchCaption = "ERROR";

inline constexpr const char* invalidSerialFormat =
    "Invalid serial number format, please enter a valid serial number containing only digits.";
inline constexpr const char* serialMismatch =
    "The entered serial number does not match the first serial number given. Please confirm "
    "the serial number by typing it again.";
inline constexpr const char* confirmSerial = "Please confirm serial number to complete operation:";
inline constexpr const char* serialChanged = "Serial number successfully changed.";
inline constexpr const char* serialSetFailed =
    "Could not set serial number, a communication error occurred.";
inline constexpr const char* addressInUse =
    "The selected IP address is already in use, this is most likely because another Vorn "
    "application is running. Please shut it down and try again. The Vorn service tool will now "
    "shut down.";
inline constexpr const char* invalidInterface = "Invalid network interface selected";
// "{serial}" is replaced by the number.
inline constexpr const char* currentSerial = "Current serial number: {serial}";
inline constexpr const char* unknownName = "Unknown";

// vornctl's own.
inline constexpr const char* serialReadFailed =
    "Could not read serial number, a communication error occurred.";

} // namespace Vornctl::Text
