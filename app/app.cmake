# morvika_app: the application object's core without widgets: settings store, address
# discovery, address book store, notification sounds.
find_package(Qt6 REQUIRED COMPONENTS Core)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET GLOBAL libcanberra)

morvika_library(morvika_app
  SOURCES
    AddressData.cpp
    AppPaths.cpp
    HalvoAddressBook.cpp
    HalvoApp.cpp
    HalvoSettings.cpp
    Identity.cpp
    MailCommand.cpp
    NetworkAddress.cpp
    NotificationSound.cpp
    SettingsValue.cpp
    WindowRect.h
  LIBS PkgConfig::CANBERRA
  PUBLIC_LIBS morvika_base morvika_peer Qt6::Core)

# The read-only assets (pictures, sounds, help) go to <build>/share/morvika/, where the lookup
# beside and above the executables finds them, and to <prefix>/share/morvika/ when installed.
set(MORVIKA_ASSETS_SOURCE ${PROJECT_SOURCE_DIR}/assets)
set(MORVIKA_ASSETS_BUILD ${CMAKE_BINARY_DIR}/share/morvika)
file(GLOB_RECURSE morvika_asset_files CONFIGURE_DEPENDS ${MORVIKA_ASSETS_SOURCE}/*)
# The icon theme's pictures belong to the desktop's icon folders (app/CMakeLists.txt).
list(FILTER morvika_asset_files EXCLUDE REGEX "^${MORVIKA_ASSETS_SOURCE}/icons/")
set(morvika_asset_copies)
foreach(asset ${morvika_asset_files})
  file(RELATIVE_PATH relative ${MORVIKA_ASSETS_SOURCE} ${asset})
  add_custom_command(OUTPUT ${MORVIKA_ASSETS_BUILD}/${relative}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${asset} ${MORVIKA_ASSETS_BUILD}/${relative}
    DEPENDS ${asset}
    COMMENT "Copying asset ${relative}"
    VERBATIM)
  list(APPEND morvika_asset_copies ${MORVIKA_ASSETS_BUILD}/${relative})
endforeach()
# The interface's translations: Qt Linguist sources in app/translations/, compiled beside the
# assets, where the program looks for them (the Japanese source texts need none).
find_package(Qt6 REQUIRED COMPONENTS LinguistTools)
set(morvika_translations)
foreach(language en)
  set(qm ${MORVIKA_ASSETS_BUILD}/translations/morvika_${language}.qm)
  set(ts ${CMAKE_CURRENT_SOURCE_DIR}/translations/morvika_${language}.ts)
  add_custom_command(OUTPUT ${qm}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MORVIKA_ASSETS_BUILD}/translations
    COMMAND Qt6::lrelease -silent ${ts} -qm ${qm}
    DEPENDS ${ts}
    COMMENT "Compiling the translation morvika_${language}.qm"
    VERBATIM)
  list(APPEND morvika_translations ${qm})
endforeach()
install(FILES ${morvika_translations} DESTINATION share/morvika/translations)
add_custom_target(morvika_assets ALL DEPENDS ${morvika_asset_copies} ${morvika_translations})
add_dependencies(morvika_app morvika_assets)
install(DIRECTORY ${MORVIKA_ASSETS_SOURCE}/ DESTINATION share/morvika PATTERN icons EXCLUDE)

