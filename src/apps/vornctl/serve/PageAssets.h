#pragma once

#include <string_view>

// The files of vornctl serve's page, compiled into the program (the build
// turns src/apps/vornctl/serve/page/ into PageAssets.cpp).
namespace Vornctl::Serve {

struct PageAsset {
    std::string_view name; // "index.html"
    std::string_view contentType;
    std::string_view body;
    std::string_view gzipBody; // the body compressed (gzip)
};

// Nothing for a name that is not one of the page's files.
const PageAsset* findPageAsset(std::string_view name);
bool isPageAsset(std::string_view name);

} // namespace Vornctl::Serve
