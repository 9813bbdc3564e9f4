# Install rules and the release packages (CPack): a .tar.gz of the install
# tree and a Debian package. scripts/release.sh drives both and adds the MCP
# bundle. The executable needs only the C library, so the package depends on
# nothing else but the root certificates it reads beside its own.
include(GNUInstallDirs)

install(TARGETS plugin_websearch RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
configure_file("${CMAKE_SOURCE_DIR}/docs/plugin_websearch.1.in" "${CMAKE_BINARY_DIR}/plugin_websearch.1" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/plugin_websearch.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
# The libraries built into the executable ask for their notices to travel with it.
if(EXISTS "${WS_YYJSON_LICENSE}")
  install(FILES "${WS_YYJSON_LICENSE}" DESTINATION "${CMAKE_INSTALL_DOCDIR}" RENAME LICENSE.yyjson)
endif()
set(WS_BEARSSL_COPYRIGHT "/usr/share/doc/libbearssl-dev/copyright" CACHE FILEPATH
  "BearSSL's licence text, shipped beside the executable")
if(EXISTS "${WS_BEARSSL_COPYRIGHT}")
  install(FILES "${WS_BEARSSL_COPYRIGHT}" DESTINATION "${CMAKE_INSTALL_DOCDIR}" RENAME LICENSE.bearssl)
endif()

string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" WS_PLATFORM)
set(CPACK_PACKAGE_NAME "plugin_websearch")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "plugin_websearch-${PROJECT_VERSION}-${WS_PLATFORM}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web search for AI agents: an MCP server over stdio and a CGI settings page")
set(CPACK_PACKAGE_DESCRIPTION
  "One small executable that answers web searches from DuckDuckGo, SearXNG, Brave, Tavily, Exa or Perplexity: an MCP server over stdio (--mcp) and a CGI settings page with a JSON API. It carries its own TLS (BearSSL) and public root certificates.")
set(CPACK_PACKAGE_CONTACT "plugin_websearch developers")
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

# Debian names allow no underscore.
set(CPACK_DEBIAN_PACKAGE_NAME "plugin-websearch")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# dpkg-shlibdeps writes the C library's minimum version from the symbols the
# executable really uses; anything else it found would show up here too.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates")

include(CPack)
