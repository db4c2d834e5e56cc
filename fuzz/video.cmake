# Decoding of JPEG blocks received from peers or read from files.
morvika_fuzz(jpeg_decode_fuzz LIBS morvika_jpeg)
# The decoder's branches guide the fuzzer only when its libraries are instrumented too.
target_compile_options(morvika_jpeg PRIVATE -fsanitize=fuzzer-no-link)
target_compile_options(morvika_jpeg_encoder PRIVATE -fsanitize=fuzzer-no-link)
# A received picture queued, drained and decoded as a picture window paints it. The picture
# and decoding sources are compiled into the target so that libFuzzer sees their coverage.
morvika_fuzz(picture_decode_fuzz LIBS morvika_video)
target_sources(picture_decode_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/video/PictureCore.cpp
  ${PROJECT_SOURCE_DIR}/video/OskelJpegObject.cpp
  ${PROJECT_SOURCE_DIR}/video/OskelJpegDecode.cpp
  ${PROJECT_SOURCE_DIR}/video/JpegMemorySource.cpp)
