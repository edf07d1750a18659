#include "DeviceListExport.h"

namespace DeviceListExport {

std::string csvField(std::string_view text) {
    std::string field(text);
    if (!field.empty() && std::string_view("=+-@").find(field.front()) != std::string_view::npos)
        field.insert(field.begin(), '\'');
    const bool quote = field.find_first_of(",;\"\r\n") != std::string::npos ||
                       (!field.empty() && (field.front() == ' ' || field.back() == ' ' ||
                                           field.front() == '\t' || field.back() == '\t'));
    if (!quote)
        return field;
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string csv(const std::vector<Row>& rows) {
    std::string out = "name,product,id,address,serial\r\n";
    for (const Row& row : rows)
        out += csvField(row.name) + "," + csvField(row.product) + "," + csvField(row.id) + "," +
               csvField(row.address) + "," +
               (row.serial ? std::to_string(*row.serial) : std::string()) + "\r\n";
    return out;
}

} // namespace DeviceListExport
