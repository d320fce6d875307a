# The fake inpout32.dll over the simulated board, for the Windows tests only. It goes into a folder
# of its own, so that it never lies beside quorva.exe by accident, and it is never installed.
add_library(fake_inpout32 MODULE ${CMAKE_CURRENT_LIST_DIR}/fake_inpout32.cpp)
target_link_libraries(fake_inpout32 PRIVATE quorva_sim_board)
# Linked statically like the programs; --kill-at exports the __stdcall names undecorated, as
# InpOut32 does (IsInpOutDriverOpen, not IsInpOutDriverOpen@0).
target_link_options(fake_inpout32 PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
set_target_properties(fake_inpout32 PROPERTIES PREFIX "" OUTPUT_NAME inpout32
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fake-inpout32)
