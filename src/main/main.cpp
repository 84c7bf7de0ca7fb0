// kelpfall: writes a raw disk image onto a whole block device.
#include "main/main.h"

int main(int argc, char **argv) {
    fncrunprogram(argc, argv);
}
