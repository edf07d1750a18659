#include "SerialConfirmation.h"

#include "Texts.h"

SerialConfirmation SerialConfirmation::decide(int first, std::string_view typed) {
    using MainWindowRules::iconError;
    using MainWindowRules::Notice;
    const auto second = parseSerial(typed);
    if (!second)
        return {std::nullopt, Notice{Text::invalidSerialFormat, Text::errorCaption, iconError}};
    if (*second != first)
        return {std::nullopt, Notice{Text::serialMismatch, Text::mismatchCaption, iconError}};
    return {second, std::nullopt};
}
