// The program's version, used by the VERSIONINFO resource and by the C++ sources.
// Plain #defines only, so that windres and the C++ compiler both read this file.
#pragma once

#define VORN_VERSION_MAJOR 1
#define VORN_VERSION_MINOR 0
#define VORN_VERSION_PATCH 0
#define VORN_VERSION_TEXT "1.0.0"
#define VORN_PRODUCT_NAME "VornService"
