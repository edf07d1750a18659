# Writes the page's files into one C++ source (PageAssets.cpp), so that the
# program serves them from memory: cmake -DOUTPUT=FILE -DINPUTS="a;b" -P EmbedPage.cmake
set(text "// Generated from tools/vornctl/serve/page by EmbedPage.cmake; do not edit.\n")
string(APPEND text "#include \"PageAssets.h\"\n\nnamespace Vornctl::Serve {\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(input IN LISTS INPUTS)
    get_filename_component(name ${input} NAME)
    get_filename_component(extension ${input} LAST_EXT)
    if(extension STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(extension STREQUAL ".js")
        set(type "text/javascript; charset=utf-8")
    elseif(extension STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    elseif(extension STREQUAL ".svg")
        set(type "image/svg+xml")
    else()
        message(FATAL_ERROR "EmbedPage: no content type for ${name}")
    endif()
    file(READ ${input} hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND text "const char file${index}[] = {${bytes} 0};\n")
    string(APPEND table "    {\"${name}\", \"${type}\", {file${index}, ${size}}},\n")
    math(EXPR index "${index} + 1")
endforeach()
string(APPEND text "\nconst PageAsset assets[] = {\n${table}};\n\n} // namespace\n\n")
string(APPEND text [=[
const PageAsset* findPageAsset(std::string_view name) {
    for (const PageAsset& asset : assets)
        if (asset.name == name)
            return &asset;
    return nullptr;
}

bool isPageAsset(std::string_view name) {
    return findPageAsset(name) != nullptr;
}

} // namespace Vornctl::Serve
]=])
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
