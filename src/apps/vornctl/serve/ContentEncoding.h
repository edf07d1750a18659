#pragma once

#include <optional>
#include <string_view>

namespace Vornctl::Serve {

// Whether a client whose Accept-Encoding header is `acceptEncoding` (none:
// no such header) takes a gzip body: "gzip" (or "x-gzip", or "*" when gzip is
// not named) with a quality above 0. Pure.
bool acceptsGzip(std::optional<std::string_view> acceptEncoding);

} // namespace Vornctl::Serve
