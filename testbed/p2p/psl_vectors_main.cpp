// Writes the golden vector file: psl-vectors [OUT] (standard output without OUT).
#include <cstdio>
#include <fstream>
#include <iostream>

#include "psl_vectors.h"

int main(int argc, char **argv) {
    std::string error;
    const std::string text = qvbed::psl::vector_file(&error);
    if (text.empty()) {
        std::fprintf(stderr, "psl-vectors: %s\n", error.c_str());
        return 1;
    }
    if (argc < 2) {
        std::cout << text;
        return std::cout ? 0 : 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "psl-vectors: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
