#include "ErrorReport.h"

#include "Exception.h"
#include "Texts.h"

#include <exception>

namespace ErrorReport {

std::string describeCurrentException() {
    std::string text;
    try {
        throw;
    } catch (const Exception& failure) {
        text = failure.message();
    } catch (const std::exception& failure) {
        text = failure.what();
    } catch (...) {
    }
    return text.empty() ? std::string(Text::unexpectedError) : text;
}

} // namespace ErrorReport
