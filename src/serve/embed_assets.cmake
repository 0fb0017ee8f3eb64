# Writes OUTPUT: the files INDEX and OPENAPI as string constants of the service.
file(READ ${INDEX} index)
file(READ ${OPENAPI} openapi)
foreach(text index openapi)
  string(FIND "${${text}}" ")norvex_asset\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "an asset contains the raw-string delimiter")
  endif()
endforeach()
file(WRITE ${OUTPUT} "// Generated from src/serve/assets; edit those files instead.\n"
  "#include \"serve_internal.hpp\"\n"
  "namespace norvex::serve::detail {\n"
  "const std::string_view kIndexHtml = R\"norvex_asset(${index})norvex_asset\";\n"
  "const std::string_view kOpenApiJson = R\"norvex_asset(${openapi})norvex_asset\";\n"
  "}  // namespace norvex::serve::detail\n")
