# Writes a header that holds a text file as a string constant:
#   cmake -DIN=file -DOUT=header -DNAME=kName -P Embed.cmake
file(READ "${IN}" content)
file(WRITE "${OUT}.tmp" "// Made by the build from ${IN}.\n#pragma once\ninline constexpr char ${NAME}[] = R\"TWEMBED(${content})TWEMBED\";\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
