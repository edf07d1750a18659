# Writes the page's files into one C++ source (PageAssets.cpp), so that the
# program serves them from memory, each as it is and compressed with gzip:
# cmake -DOUTPUT=FILE -DINPUTS="a;b" -DGZIP=/bin/gzip -P EmbedPage.cmake
set(text "// Generated from src/apps/vornctl/serve/page by EmbedPage.cmake; do not edit.\n")
string(APPEND text "#include \"PageAssets.h\"\n\nnamespace Vornctl::Serve {\nnamespace {\n\n")
set(table "")
# Appends the bytes of FILE to `text` as the array NAME; their count in SIZE_VARIABLE.
function(embed_bytes file name size_variable)
    file(READ ${file} hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    set(text "${text}const char ${name}[] = {${bytes} 0};\n" PARENT_SCOPE)
    set(${size_variable} ${size} PARENT_SCOPE)
endfunction()
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
    # -n: no name or time in the header, so that a build is repeatable.
    execute_process(COMMAND ${GZIP} -n -9 -c ${input} OUTPUT_FILE ${OUTPUT}.gz
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "EmbedPage: ${GZIP} failed on ${name}: ${status}")
    endif()
    embed_bytes(${input} file${index} size)
    embed_bytes(${OUTPUT}.gz gzip${index} gzipSize)
    string(APPEND table "    {\"${name}\", \"${type}\", {file${index}, ${size}}, "
                        "{gzip${index}, ${gzipSize}}},\n")
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
file(REMOVE ${OUTPUT}.gz)
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
