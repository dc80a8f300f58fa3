#include "shell/TesseraProgram.h"

int main(int argc, char **argv) {
    return tesseraMain(argc, argv);
}
