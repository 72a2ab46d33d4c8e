# Each Windows module file exports `plugin_main` and exactly the globals of
# its generation, and imports nothing but KERNEL32 and the C runtime.
set(harlwickWindowsExports_20017 g_CpuYieldDelegate g_privateBinary plugin_main)
set(harlwickWindowsExports_23000 g_brannoc plugin_main)
set(harlwickWindowsExports_2023000 g_brannoc g_CpuYieldDelegate plugin_main)
set(harlwickWindowsExports_2024900 g_brannoc g_CpuYieldDelegate plugin_main)

foreach(floor IN LISTS HARLWICK_FLOORS)
  set(name windows_pe_tables.Floor${floor})
  if(NOT HARLWICK_MINGW_OBJDUMP)
    harlwick_skipped_test(${name} "no objdump for PE files (Debian: binutils-mingw-w64-x86-64)")
    continue()
  endif()
  list(JOIN harlwickWindowsExports_${floor} "," exports)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${HARLWICK_MINGW_OBJDUMP} -DMODULE=$<TARGET_FILE:harlwick-${floor}>
                   -DEXPORTS=${exports} -P ${CMAKE_CURRENT_LIST_DIR}/check_pe_tables.cmake)
endforeach()
