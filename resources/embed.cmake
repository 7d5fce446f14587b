# cmake -DIN=image -DOUT=file.cpp -P embed.cmake: writes the resource table
# that stands in for the executable's resources where there is no resource
# compiler. The bytes are copied unchanged.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
  set(bytes "0")
else()
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
endif()
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.
#include \"platform/resource.h\"

namespace {
const uint8_t binfile[] = {
${bytes}
};
} // namespace

const resource_entry resource_table[] = {{\"BINFILE\", binfile, ${size}u}};
const int resource_count = 1;
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
