// Remote path resolution: a path made absolute against the session's work directory and normalised.
#pragma once

#include <cstdint>

// The absolute, normalised form of `path` in *out (a new text, free()): an absolute path as it is, "." and
// "./" the work directory, any other relative path joined to the token's work directory (a leading "./"
// dropped). 0; -1 for a null path or place, a relative path without a work directory for the token, or an
// empty result.
int create_new_full_path(const char *path, char **out, int64_t token);

// The normalised copy of a path (free()), or null for a null or empty text:
// - one trailing '/' goes ("/a//" gives "/a/"), or a trailing "/." ("/." gives "/");
// - when some component is "..", each ".." removes itself and the component before it, together with the
//   "." and empty components between them; a ".." with nothing before it is dropped (the root is its own
//   parent), and the result is rooted ("/b/../c" gives "/c", "a/../b" gives "/b");
// - without a ".." component the text stays as it is ("/a/./b", "/a/..b", "../x").
char *check_return_dot_path(const char *path);
