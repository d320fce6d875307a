# ppdev-preload.so: the LD_PRELOAD stand-in for the kernel's parallel-port device, over the simulated
# board. Only the interposed system calls are exported; the board's own port functions stay hidden.
add_library(ppdev-preload MODULE ${CMAKE_CURRENT_LIST_DIR}/ppdev_preload.cpp ${PROJECT_SOURCE_DIR}/src/sim/sim_board.cpp)
target_include_directories(ppdev-preload PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ppdev-preload PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(ppdev-preload PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
