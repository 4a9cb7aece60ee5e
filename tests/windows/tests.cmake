# The library's tests on Windows (MinGW-w64), run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR: scripts/windows.sh builds GoogleTest for the target and
# runs them. Included by tests/CMakeLists.txt instead of the Linux list. The test sources
# are the Linux ones: include/ stands in for the POSIX socket headers and posix_compat.h
# (included first into every test) for the few POSIX calls they make directly.
#
# Left out, each for its reason:
#   server_*_test, fault_loop_test  run the file server (a Linux program) in-process
#   tool_test                       runs the gavo tool (Linux only)
#   tls_client_test                 the Windows library has no TLS (GAVO_WITH_TLS off)
#   fault_proxy                     a peer of the server and tool tests only
# Test cases that pin Linux behaviour the Windows build does not have are skipped by name
# in GAVO_WINDOWS_SKIPPED below (docs/compatibility.md, Windows, says what differs).

set(GAVO_WINDOWS_TESTS
  codec_test config_test messages_test open_mode_test os_error_test request_decoder_test
  share_table_test
  cfile_test cnfile_test error_log_test init_test local_backend_test trace_log_test
  netconn_test stream_test
  channels_test channel_threads_test net_backend_test tab_backend_test reconnect_test
  windows/windows_platform_test)

set(here ${CMAKE_CURRENT_LIST_DIR})
add_library(gavo_test_support STATIC test_support.cpp ${here}/test_os.cpp byte_peer.cpp
  fake_server.cpp)
target_link_libraries(gavo_test_support PUBLIC gavo_internal GTest::gtest)
target_include_directories(gavo_test_support PUBLIC ${here}/include)
target_compile_options(gavo_test_support PUBLIC -include ${here}/posix_compat.h)
target_compile_definitions(gavo_test_support PRIVATE GAVO_TEST_TLS=0)

# The programs run from the build folder, beside the shared runtime DLLs they need.
file(COPY ${GAVO_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_CURRENT_BINARY_DIR})

# Test cases left out on Windows, by test program, each for its reason; what they pin is
# checked there by windows_platform_test where Windows has a counterpart.
set(GAVO_WINDOWS_SKIPPED_os_error_test
  OsErrorTest.ErrnoLandsInTheRowOfItsMeaning)  # Linux errno values (EDQUOT)
set(GAVO_WINDOWS_SKIPPED_cfile_test
  PlatformTest.FilesLogsAndSocketsAreOpenedCloseOnExec  # fcntl; Windows: handles not inherited
  CFileTest.PathOf499CharactersIsAccepted  # Windows file calls stop at 260 characters
  # The test reads the file while an exclusive open holds it, which Windows refuses to
  # every opener (the share modes hold system-wide there)
  CFileTest.ConflictingOpenFailsWithSharingViolationAndCutsNothing
  CFileTest.RenameAcrossFileSystemsCopiesAndDeletes)  # POSIX permission bits
set(GAVO_WINDOWS_SKIPPED_local_backend_test
  LocalBackendTest.OpenExGivesTheLow32BitsOfLargeFiles  # cuts a file the library holds
  LocalBackendTest.IsExistOfAPathThatDoesNotFitIsRefusedNotCut  # folders beyond 260 characters
  LocalBackendTest.LocalWriteAndReadFailuresThrowCFileExceptionUnlogged)  # EDQUOT
# Linux errno numbers expected by value (ECONNRESET 104, ECONNREFUSED 111); Windows notes
# Winsock's (10054, 10061, 10060 for a time-out) and its own socket options
set(GAVO_WINDOWS_SKIPPED_stream_test
  StreamTest.ReceiveErrorGivesRecvFailedAndTraceLine
  StreamTest.BufferSendFailureKeepsOutputAndNamesThePrimitive)
set(GAVO_WINDOWS_SKIPPED_channels_test
  ChannelStartTest.NoServerFailsTheStartUpAndOpenGivesMinus200)
set(GAVO_WINDOWS_SKIPPED_reconnect_test
  ReconnectTest.SilentServerFailsTheRequestAfterTheReplyTimeOutThenReconnects)
foreach(source ${GAVO_WINDOWS_TESTS})
  get_filename_component(name ${source} NAME)
  add_executable(${name} ${source}.cpp)
  target_link_libraries(${name} PRIVATE gavo_test_support GTest::gtest_main)
  set(filter "")
  if(GAVO_WINDOWS_SKIPPED_${name})
    list(JOIN GAVO_WINDOWS_SKIPPED_${name} ":" skipped)
    set(filter "-${skipped}")
  endif()
  # Tests are listed when ctest runs (under Wine), not at build time.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    TEST_FILTER "${filter}" PROPERTIES TIMEOUT 180)
endforeach()

# A host program linked to the DLL, as a host would be: the exported interface and
# pointers thrown across the DLL boundary.
add_executable(shared_host_check shared_host_check.cpp)
target_link_libraries(shared_host_check PRIVATE GAVO_Client)
set_target_properties(shared_host_check PROPERTIES  # beside the DLL, as a host installs it
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
add_test(NAME shared_host_check COMMAND shared_host_check)

# A host that lives through a server restart, run by scripts/windows-hosts.sh.
add_executable(restart_host ${here}/restart_host.cpp)
target_link_libraries(restart_host PRIVATE GAVO_Client)
set_target_properties(restart_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# The C host of examples/, as a host built in C loads the DLL; run by scripts/windows-hosts.sh.
enable_language(C)
add_executable(c_host ${PROJECT_SOURCE_DIR}/examples/c_host.c)
target_link_libraries(c_host PRIVATE GAVO_Client)
set_target_properties(c_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# The DLL exports exactly the documented interface (its Windows names).
add_test(NAME exported_symbols
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:GAVO_Client>
          -DLIST=${here}/exported_symbols.txt
          -DOBJDUMP=${CMAKE_OBJDUMP} -DCXXFILT=${GAVO_MINGW_TRIPLET}-c++filt
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.cmake)
