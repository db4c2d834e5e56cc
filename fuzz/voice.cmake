morvika_fuzz(voice_decode_fuzz LIBS morvika_voice)
# The codec's branches guide the fuzzer only when its library is instrumented too.
target_compile_options(morvika_voice PRIVATE -fsanitize=fuzzer-no-link)
