# Decoders of data received from peers.
morvika_fuzz(peer_message_fuzz LIBS morvika_session)
morvika_fuzz(record_fuzz LIBS morvika_session)

# libFuzzer is guided only by instrumented code, so the decoders' library gets coverage
# instrumentation too (the sanitizer runtime stubs it out in the other binaries).
target_compile_options(morvika_session PRIVATE -fsanitize=fuzzer-no-link)
