// The real VornService.exe's VERSIONINFO, as Windows reads it (Explorer's
// Details tab, installers): numbers and texts carry the project's version.
#include "WindowTestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct VersionInfo {
    std::vector<char> block;

    std::string text(const char* name) const {
        void* value = nullptr;
        UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueA(block.data(), path.c_str(), &value, &length) || length == 0)
            return "(missing)";
        return static_cast<const char*>(value);
    }
};

VersionInfo readVersionInfo(const std::string& file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    VersionInfo info;
    if (size == 0)
        return info;
    info.block.resize(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, info.block.data()))
        info.block.clear();
    return info;
}

std::string dotted(DWORD high, DWORD low) {
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(high)),
                  static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
                  static_cast<unsigned long>(LOWORD(low)));
    return text;
}

TEST(VersionResource, CarriesTheProjectVersion) {
    const VersionInfo info = readVersionInfo(WindowTest::programPath());
    ASSERT_FALSE(info.block.empty()) << "no version resource in " << WindowTest::programPath();

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.block.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
              std::string(VORN_PROJECT_VERSION) + ".0");
    EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
              std::string(VORN_PROJECT_VERSION) + ".0");

    EXPECT_EQ(info.text("FileVersion"), VORN_PROJECT_VERSION);
    EXPECT_EQ(info.text("ProductVersion"), VORN_PROJECT_VERSION);
    EXPECT_EQ(info.text("ProductName"), "VornService");
    EXPECT_EQ(info.text("OriginalFilename"), "VornService.exe");
}

} // namespace
