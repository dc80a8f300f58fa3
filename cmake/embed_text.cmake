# cmake -DIN=file -DOUT=file.cpp -DNAME=symbol -P embed_text.cmake: a C++ source holding the file's text.
file(READ "${IN}" text)
file(WRITE "${OUT}" "// Generated from ${IN}.\nextern const char ${NAME}[];\nconst char ${NAME}[] = R\"PEM(${text})PEM\";\n")
