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

# cmake --install: <prefix>/lib/vxcenter/ holds the client folder, <prefix>/bin/vxcenter
# starts it, and a desktop entry lists it.
set(VX_INSTALL_DIR lib/vxcenter)
install(TARGETS vxclient TCPServer DownLoader
        RUNTIME DESTINATION ${VX_INSTALL_DIR} LIBRARY DESTINATION ${VX_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/imgs DESTINATION ${VX_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/Config/config.xml
        DESTINATION ${VX_INSTALL_DIR}/Config)
install(FILES ${PROJECT_SOURCE_DIR}/resources/vxcenter.desktop DESTINATION share/applications)
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../${VX_INSTALL_DIR}/vxclient
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/vxcenter\" SYMBOLIC)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxcenter)
set(CPACK_PACKAGE_VENDOR "vxcenter developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop client of an application-centre service")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/vxcenter)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vxcenter developers <dev@vxcenter.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6webenginewidgets6, libqt6widgets6, libcurl4, libzip4, libpugixml1v5, libpcre2-8-0, libssl3")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
