# Decoding of JPEG blocks received from peers or read from files.
morvika_fuzz(jpeg_decode_fuzz LIBS morvika_jpeg)
# A received picture queued, drained and decoded as a picture window paints it.
morvika_fuzz(picture_decode_fuzz LIBS morvika_video)
