# Installed layout:
#   PREFIX/${LV_INSTALL_GAMEDIR}/  the launcher and its options program side by
#                                  side, as a game folder holds them (component
#                                  "game"); the launcher's working folder is
#                                  the game folder and it replaces its own file
#                                  there, so the folder must be the player's.
#   PREFIX/bin/                    lvpatch and lvpublish (component "tools").
# Packages (cpack in the build folder):
#   lanternvale-game-VERSION.tar.gz  the game folder, unpacking to game/
#   lanternvale-tools_VERSION_ARCH.deb  lvpatch and lvpublish in /usr/bin
include(GNUInstallDirs)

set(LV_INSTALL_GAMEDIR "game" CACHE STRING
    "Folder under the install prefix for the launcher and its options program")

if(TARGET launcher)
  install(TARGETS launcher RUNTIME DESTINATION ${LV_INSTALL_GAMEDIR} COMPONENT game)
endif()
if(TARGET NoxOptions)
  install(TARGETS NoxOptions RUNTIME DESTINATION ${LV_INSTALL_GAMEDIR} COMPONENT game)
endif()
install(TARGETS lvpatch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
if(TARGET lvpublish)
  install(TARGETS lvpublish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

set(CPACK_PACKAGE_NAME "lanternvale")
set(CPACK_PACKAGE_VENDOR "Lantern Vale")
set(CPACK_PACKAGE_CONTACT "Lantern Vale operators <operators@lanternvale.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lantern Vale launcher, patcher and publishing tools")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_STRIP_FILES ON)

# Each generator packs one component; the choice is made per generator in
# the project config file below.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_ARCHIVE_GAME_FILE_NAME "lanternvale-game-${PROJECT_VERSION}")
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "lanternvale-tools")
set(CPACK_DEBIAN_TOOLS_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "lvpatch brings a game folder up to date from a patch server; lvpublish publishes game builds to a patch-server folder.")
set(CPACK_DEBIAN_PACKAGE_SECTION "games")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(LV_CPACK_PROJECT_CONFIG ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${LV_CPACK_PROJECT_CONFIG} [=[
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL game)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL tools)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
endif()
]=])
set(CPACK_PROJECT_CONFIG_FILE ${LV_CPACK_PROJECT_CONFIG})

include(CPack)
