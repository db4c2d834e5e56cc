# Decoders of the application core: stored settings values, the settings file as a whole, and
# the desktop's text files read for the mail handler and the routing table.
#
# The fuzzers link their own copy of the core built with coverage instrumentation, so that
# libFuzzer is guided by the decoders' branches and not only by the harness.
find_package(Qt6 REQUIRED COMPONENTS Core)
get_target_property(app_fuzz_sources morvika_app SOURCES)
list(TRANSFORM app_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/app/)
add_library(morvika_app_fuzzcov STATIC ${app_fuzz_sources})
target_compile_options(morvika_app_fuzzcov PRIVATE -fsanitize=fuzzer-no-link)
target_include_directories(morvika_app_fuzzcov PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvika_app_fuzzcov
  PRIVATE morvika_warnings PkgConfig::CANBERRA
  PUBLIC morvika_base morvika_peer Qt6::Core)

morvika_fuzz(settings_value_fuzz LIBS morvika_app_fuzzcov)
morvika_fuzz(settings_file_fuzz LIBS morvika_app_fuzzcov)
morvika_fuzz(system_text_fuzz LIBS morvika_app_fuzzcov)
