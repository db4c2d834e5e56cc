# Fuzz targets of the platform service stand-ins.
morvika_fuzz(peer_frame_fuzz LIBS morvika_peer)
morvika_fuzz(peer_handshake_fuzz LIBS morvika_peer)
# libFuzzer is guided only by instrumented code: the service's library gets coverage
# instrumentation in this build (the sanitizer runtime stubs it out in the other binaries).
target_compile_options(morvika_peer PRIVATE -fsanitize=fuzzer-no-link)
# A link's read path, fed through a socket pair, in the clear and over TLS.
morvika_fuzz(peer_connection_fuzz LIBS morvika_peer)
morvika_fuzz(peer_connection_tls_fuzz LIBS morvika_peer)
