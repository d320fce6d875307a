// Entry point of quorva, the download tool for the EPROM emulator board.
#include "app/command_line.h"

int main(int argc, char** argv)
{
    return quorva_main(argc, argv);
}
