# Decoding of JPEG blocks received from peers or read from files.
morvika_fuzz(jpeg_decode_fuzz LIBS morvika_jpeg)
