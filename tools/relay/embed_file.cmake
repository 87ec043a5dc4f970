# Writes OUTPUT, a C++ source defining skyhelm::relay::PanelPage() with the bytes of INPUT.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}: do not edit.\n"
  "#include \"tools/relay/panel_page.h\"\n"
  "namespace skyhelm::relay {\n"
  "namespace { const unsigned char kPage[] = {${bytes}}; }\n"
  "std::string_view PanelPage() { return {reinterpret_cast<const char*>(kPage), sizeof kPage}; }\n"
  "}  // namespace skyhelm::relay\n")
