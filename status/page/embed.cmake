# Writes OUT, a C++ source that holds the operator's page's files as byte
# arrays and lists them for status/page_assets.h. Run by the build with
# -DDIR=<status/page> -DOUT=<file>.
set(assets "index.html|/|text/html" "page.js|/page.js|text/javascript" "page.css|/page.css|text/css")
set(arrays "")
set(table "")
set(i 0)
foreach(asset IN LISTS assets)
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 file)
  list(GET parts 1 route)
  list(GET parts 2 type)
  file(READ "${DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kAsset${i}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${route}\", \"${type}; charset=utf-8\", kAsset${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${OUT}.new"
     "// Made by status/page/embed.cmake from status/page/: do not edit.\n"
     "#include \"status/page_assets.h\"\n\nnamespace status {\nnamespace {\n${arrays}"
     "const PageAsset kAssets[] = {\n${table}};\n}  // namespace\n\n"
     "std::span<const PageAsset> PageAssets() { return kAssets; }\n\n}  // namespace status\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
