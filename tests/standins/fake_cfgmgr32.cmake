# The fake cfgmgr32.dll over the device tree in tests/data/devtree.txt, for the Windows tests only: the
# tests put it into the wine prefix's system folder. Never installed.
add_library(fake_cfgmgr32 MODULE ${CMAKE_CURRENT_LIST_DIR}/fake_cfgmgr32.cpp)
target_include_directories(fake_cfgmgr32 PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../unit)
target_link_options(fake_cfgmgr32 PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
set_target_properties(fake_cfgmgr32 PROPERTIES PREFIX "" OUTPUT_NAME cfgmgr32
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fake-cfgmgr32)
