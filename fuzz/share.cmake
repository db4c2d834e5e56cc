# Decoders of the shared-file records received from peers.
morvika_fuzz(shares_data_fuzz LIBS morvika_shares)
morvika_fuzz(shares_list_fuzz LIBS morvika_shares)
morvika_fuzz(shares_file_fuzz LIBS morvika_shares)
target_compile_options(morvika_shares PRIVATE -fsanitize=fuzzer-no-link)
