# The client folder: the executable with the two helper libraries beside it (it loads them
# from its own folder), the sample configuration and the title-bar images.
if(NOT TARGET vxclient)
  return()
endif()

# A runnable client folder in the build tree (./dev run starts the client from here).
set(VX_CLIENT_DIR ${CMAKE_BINARY_DIR}/client)
add_custom_target(client_folder ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VX_CLIENT_DIR}/Config
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:vxclient>
          $<TARGET_FILE:TCPServer> $<TARGET_FILE:DownLoader> ${VX_CLIENT_DIR}/
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/resources/imgs
          ${VX_CLIENT_DIR}/imgs
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${PROJECT_SOURCE_DIR}/resources/Config/config.xml
          ${VX_CLIENT_DIR}/Config/config.xml
  DEPENDS vxclient TCPServer DownLoader
  COMMENT "Laying out the client folder in ${VX_CLIENT_DIR}")

# cmake --install: <prefix>/lib/vxcenter/ holds the pristine client folder and the launcher,
# <prefix>/bin/vxcenter starts the launcher, and a desktop entry lists it. The launcher gives
# every user a client folder of his own (launcher/UserCopy.h); a folder that its user owns and
# may write runs as it is.
set(VX_INSTALL_DIR lib/vxcenter)
install(TARGETS vxclient vxlauncher TCPServer DownLoader
        RUNTIME DESTINATION ${VX_INSTALL_DIR} LIBRARY DESTINATION ${VX_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/imgs DESTINATION ${VX_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/Config/config.xml
        DESTINATION ${VX_INSTALL_DIR}/Config)
# The desktop entry names the launcher by its full path: a prefix's bin/ (/opt/..., a
# user's own) need not be on the desktop's PATH.
install(CODE "
  set(_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(MAKE_DIRECTORY \"\${_root}/bin\" \"\${_root}/share/applications\")
  file(CREATE_LINK ../${VX_INSTALL_DIR}/vxlauncher \"\${_root}/bin/vxcenter\" SYMBOLIC)
  file(READ \"${PROJECT_SOURCE_DIR}/resources/vxcenter.desktop\" _entry)
  string(REPLACE \"Exec=vxcenter\" \"Exec=\${CMAKE_INSTALL_PREFIX}/bin/vxcenter\" _entry \"\${_entry}\")
  file(WRITE \"\${_root}/share/applications/vxcenter.desktop\" \"\${_entry}\")
  message(STATUS \"Installing: \${_root}/share/applications/vxcenter.desktop\")")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxcenter)
set(CPACK_PACKAGE_VENDOR "vxcenter developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop client of an application-centre service")
# /usr: the desktop finds the entry in /usr/share/applications and vxcenter on its PATH.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vxcenter developers <dev@vxcenter.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# dpkg-shlibdeps names the package of every library the binaries link; the web engine's
# helper process is started, not linked, so it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
