# The API reference: doxygen over include/kiv into BUILD/docs/api (target docs), and the test
# api_docs that fails on any doxygen warning. Without doxygen neither exists.
find_program(KIV_DOXYGEN doxygen)
if(KIV_DOXYGEN)
  set(KIV_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${KIV_DOCS_OUTPUT}/Doxyfile @ONLY)
  add_custom_target(docs COMMAND ${KIV_DOXYGEN} ${KIV_DOCS_OUTPUT}/Doxyfile
                    WORKING_DIRECTORY ${KIV_DOCS_OUTPUT}
                    COMMENT "API reference in ${KIV_DOCS_OUTPUT}/api" VERBATIM)
  if(KIV_BUILD_TESTS)
    add_test(NAME api_docs COMMAND ${KIV_DOXYGEN} ${KIV_DOCS_OUTPUT}/Doxyfile WORKING_DIRECTORY ${KIV_DOCS_OUTPUT})
    set_tests_properties(api_docs PROPERTIES LABELS docs TIMEOUT 300 RESOURCE_LOCK kiv_api_docs)
  endif()
else()
  message(STATUS "doxygen not found: no target docs, no test api_docs")
endif()
