# Writes a C++ source holding the remote control page's files, so that the program serves them
# without reading anything from disk. Run by the build: cmake -DPAGE_DIR=... -DOUTPUT=... -P.
set(files index.html remote.js remote.css)
# Media types without their parameter: a ";" would split a CMake list.
set(types "text/html" "text/javascript" "text/css")
set(paths "/remote/index.html" "/remote/remote.js" "/remote/remote.css")
set(body "// Made by remote/page/Embed.cmake from the files of remote/page; edit those instead.\n")
string(APPEND body "#include \"remote/RemotePage.h\"\n\nnamespace zarvo {\nnamespace {\n")
set(entries "")
foreach(index RANGE 2)
    list(GET files ${index} file)
    list(GET types ${index} type)
    list(GET paths ${index} path)
    file(READ "${PAGE_DIR}/${file}" content)
    string(FIND "${content}" ")page\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${file} holds the sequence that ends the embedded text")
    endif()
    string(APPEND body "constexpr char kFile${index}[] = R\"page(${content})page\";\n")
    string(APPEND entries "    {\"${path}\", {\"${type}; charset=utf-8\", {kFile${index}, sizeof kFile${index} - 1}}},\n")
endforeach()
string(APPEND body "struct Entry {\n    std::string_view path;\n    RemotePageFile file;\n};\n")
string(APPEND body "constexpr Entry kEntries[] = {\n${entries}};\n}  // namespace\n\n")
string(APPEND body [=[
std::optional<RemotePageFile> remotePageFile(std::string_view path) {
    if (path == "/remote" || path == "/remote/")
        path = "/remote/index.html";
    for (const Entry& entry : kEntries)
        if (entry.path == path)
            return entry.file;
    return std::nullopt;
}

}  // namespace zarvo
]=])
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
