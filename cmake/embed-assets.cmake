# Writes OUTPUT, a C++ source that holds each of FILES (a ;-list of paths)
# by its file name, for kdr::web::asset(). Run with cmake -P at build
# time, so that an edited template is built in.
set(body "")
set(table "")
set(index 0)
foreach(path IN LISTS FILES)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  get_filename_component(name "${path}" NAME)
  string(APPEND body "constexpr char kAsset${index}[] = {${bytes} '\\0'};\n")
  string(APPEND table "    {\"${name}\", std::string_view(kAsset${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by cmake/embed-assets.cmake from web/: do not edit.
#include <array>
#include <string_view>
#include <utility>

#include \"web/web_view.hpp\"

namespace kdr::web {
namespace {
${body}
constexpr std::array<std::pair<std::string_view, std::string_view>, ${index}> kAssets{{
${table}}};
}  // namespace

std::string_view asset(std::string_view name) {
    for (const auto& [file, text] : kAssets) {
        if (file == name) {
            return text;
        }
    }
    return {};
}

}  // namespace kdr::web
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
