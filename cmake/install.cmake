# What `cmake --install` puts below its prefix, and the packages that
# scripts/package makes of it with CPack. Tests, the simulated device's
# helpers and the benchmarks are not installed.
#   Linux:   the library with its SONAME links, the header, the zqk tool, a
#            CMake config package (find_package(zqkAPI) gives zqkAPI::zqkAPI),
#            a pkg-config file, the udev rule, the tool's manual page and bash
#            completion, the Wireshark dissector, the README and the copyright;
#            the package is zqkapi_VERSION_amd64.deb.
#            The library, the CMake package and the pkg-config file go in the
#            multiarch folder where the compiler names one (lib/x86_64-linux-gnu
#            on Debian's amd64), which the dynamic loader, pkg-config and
#            find_package search below /usr and /usr/local alike;
#            -DCMAKE_INSTALL_LIBDIR=lib chooses another.
#            The Python binding goes in Debian's folder of the system's
#            python3 (ZQK_INSTALL_PYTHONDIR).
#   Windows: zqkAPI.dll, its import libraries for MSVC (zqkAPI.lib) and MinGW
#            (libzqkAPI.dll.a), the header, zqk.exe, the Wireshark dissector
#            (share/zqkapi/wireshark) and the README; the
#            bindings in bindings/ (the C# files, and the Python package with
#            a copy of the DLL in it, where it looks first); the package is
#            zqkAPI-VERSION-win32.zip or -win64.zip.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE)
  # GNUInstallDirs picks the multiarch folder only for the prefix /usr, and
  # the build's prefix is /usr/local until CPack installs it below /usr.
  # Decided once per build folder: a folder given with -D stays, and so
  # does one chosen later; the lib that GNUInstallDirs gave a build folder
  # configured before is replaced.
  get_property(zqk_libdir_type CACHE CMAKE_INSTALL_LIBDIR PROPERTY TYPE)
  if(NOT ZQK_LIBDIR_DECIDED AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR
     (zqk_libdir_type STREQUAL "PATH" AND "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib")))
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (multiarch)" FORCE)
  endif()
  set(ZQK_LIBDIR_DECIDED ON CACHE INTERNAL "CMAKE_INSTALL_LIBDIR has had its multiarch default")
endif()
include(GNUInstallDirs)

install(TARGETS zqkAPI EXPORT zqkAPITargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/zqkAPI.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The tool, with (on Linux) its manual page in ${CMAKE_INSTALL_MANDIR}/man1
# and its bash completion in ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions.
install(TARGETS zqk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(FILES tools/zqk/zqk.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES tools/zqk/zqk.bash DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME zqk)
endif()

# The Wireshark dissector of the channel protocol, for the library's traces
# and USB captures of the device (tshark -X lua_script:..., or a copy in the
# personal plugins folder).
install(FILES tools/wireshark/zqk.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/zqkapi/wireshark)

# The bindings as the build assembled them (cmake/bindings.cmake), with their
# generated tables; not what running them from the build tree left there.
set(ZQK_BINDING_EXCLUDES PATTERN __pycache__ EXCLUDE PATTERN *.egg-info EXCLUDE)
if(WIN32)
  install(DIRECTORY ${ZQK_PYTHON_PACKAGE_DIR} ${ZQK_DOTNET_BINDING_DIR} DESTINATION bindings ${ZQK_BINDING_EXCLUDES})
  install(TARGETS zqkAPI RUNTIME DESTINATION bindings/python/zqkapi ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  # /usr/lib/python3/dist-packages is where Debian's python3, of any version,
  # finds the packages of the system's own packages; the package loads the
  # library through the dynamic loader, from the multiarch folder.
  set(ZQK_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE PATH "The Python binding's folder below the prefix")
  install(DIRECTORY ${ZQK_PYTHON_PACKAGE_DIR}/zqkapi DESTINATION ${ZQK_INSTALL_PYTHONDIR} ${ZQK_BINDING_EXCLUDES})
endif()

if(WIN32)
  install(FILES ${ZQK_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES README.md DESTINATION .)
else()
  set(ZQK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zqkAPI)
  install(EXPORT zqkAPITargets NAMESPACE zqkAPI:: DESTINATION ${ZQK_CMAKE_PACKAGE_DIR})
  include(CMakePackageConfigHelpers)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/zqkAPIConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES packaging/zqkAPIConfig.cmake ${CMAKE_BINARY_DIR}/zqkAPIConfigVersion.cmake
          DESTINATION ${ZQK_CMAKE_PACKAGE_DIR})

  # The pkg-config file finds the prefix from its own place, so that an
  # installed tree works wherever it is (a staging folder, the package's /usr).
  file(RELATIVE_PATH ZQK_PKGCONFIG_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  configure_file(packaging/zqkAPI.pc.in ${CMAKE_BINARY_DIR}/zqkAPI.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/zqkAPI.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  # udev reads rules from lib/udev/rules.d of the prefix /usr, whatever the
  # library folder is.
  install(FILES packaging/70-zqkapi.rules DESTINATION lib/udev/rules.d)
  install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zqkapi)
endif()

# ---- packages (scripts/package) ----
# scripts/package builds first; installing (make install, CPack) builds
# nothing, which spares it a pass over every target of the build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host library for zq.keeper USB data-buffer devices")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME zqkAPI)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME zqkapi)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zqkAPI developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # The summary is the first line of the package's description.
  set(CPACK_PACKAGE_DESCRIPTION "zqkAPI finds a zq.keeper over HID (hidraw), runs its logical \
channels, talks to its terminal and works with its file system. The package holds the shared \
library, its C header, CMake and pkg-config files, the zqk tool, the Python binding zqkapi for the \
system's python3 and a udev rule that gives the logged-in user and the group plugdev access to the \
device.")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
  # Depends: found from the libraries that the programs need. A shlibs file
  # for programs built on the library, and ldconfig when it is installed.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # CPack's own postinst and postrm run ldconfig; the prerm takes what python3
  # left beside the binding.
  set(ZQK_PYTHON_PACKAGE_INSTALLED ${CPACK_PACKAGING_INSTALL_PREFIX}/${ZQK_INSTALL_PYTHONDIR}/zqkapi)
  configure_file(packaging/prerm.in ${CMAKE_BINARY_DIR}/debian/prerm @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/prerm)
endif()
include(CPack)
