// The download processor (command 106) and its post: one exchange that writes the device's file data into the
// partial file T + ".qvc" under an exclusive lock, and the resumable file download call with its side files.
#pragma once

#include <cstdint>

#include "base/file_types.h"
#include "codec/client_info.h"

struct client_file_task;

// The post of a download: POST "/" with "Content-Type" "application/json", "Timeout", "Encrypt" "aes",
// "Content-Length" and the enciphered request; runs qvhttp_download. 0 (a JSON reply, if any, deciphered into
// a new text in *reply), or the exchange's code. Task required.
int qvNetDownload(const char *url, const char *request, int32_t timeout_ms, char **reply,
                  client_file_task *task);

// Whole-file lock on an open descriptor: "r" read, "w" write, "u" release; non-blocking.
// Open-file-description locks, so two descriptors of one process exclude each other too. 0, or QV_ERR_FAILED
// (held elsewhere, unknown type).
int lockFile(int fd, const char *type);

// Opens `tmp_path` write-only (created 0644, never truncated) into `file_fd` and locks it for writing; the
// partial file is also claimed in a process-wide registry, so a second download of the same partial file in
// this process fails as one in another process does. 0, or QV_ERR_LOCAL_FILE2 (also when the name no longer
// leads to the locked file: see lock_partial_file).
int _create_local_file(client_info *info);

// The outcomes of lock_partial_file.
enum class PartialLock {
    Ok,      // open, claimed, locked, and `tmp_path` still names it
    Taken,   // a fresh download: the name already exists
    Held,    // another download (this process or another) holds the file
    Gone,    // the holder moved the file into place or removed it between our open and our lock
    Failed,  // cannot be opened
};

// The open and lock of _create_local_file; with `fresh` the file must be new (exclusive creation). After the
// lock, the name is checked to still lead to the locked file: a download that held it may have moved it
// into place or removed it while we waited, and a descriptor of that file must never be written or emptied.
// Anything but Ok leaves `file_fd` -1 and nothing held.
PartialLock lock_partial_file(client_info *info, bool fresh);

// Releases the claim and the lock of `file_fd` (above 0) and closes it (file_fd -1): 0, or -1 when the lock
// could not be released.
int release_local_file(client_info *info);

// The download processor: builds the request (106, or 168 for a log), opens and locks `tmp_path`, hands the
// descriptor, `cfg_fp`, `tmp_path`, `range_list` and the expected range ("offset" to "length", or to the size
// in `st` when "length" is 0) to the exchange, posts, and takes the range list back into `range_list`. 0 only
// when file data covering the whole range was written; a JSON reply gives the device's error, or
// QV_ERR_DL_NO_TYPE when it carries none; QV_ERR_LOCAL_FILE2 when the partial file cannot be opened, locked
// or unlocked; the exchange's code. A `file_fd` above 0 is taken as the partial file already opened and
// locked by _create_local_file. `retstr` and `recv_buf` are freed. On failure the descriptor is unlocked and
// closed (file_fd -1); after a complete download it stays open and locked until the caller has moved the file
// into place and calls release_local_file.
int _qv_download_prcs_task(client_info *info);

// ---- the file download call ----

// First usable candidate for `des_path` by the renaming rule ("a.txt", "a(1).txt", "a(2).txt" ...; the number
// goes before the last "." of the file name, never into a folder name). A candidate is usable when it does
// not exist and either none of its side files (".qvc", ".qvc.cfg", ".qvc.uuid") exists (a fresh download) or
// its
// ".qvc.uuid" exists (an earlier attempt, whose id the driver then checks). Side files without an id file are
// someone else's and never reused. New heap text in *out: 0, or -1 for missing arguments ("rename error").
int file_rename(const char *des_path, char **out);
// The candidate loop of file_rename from `n`: prefix + "(N)" + extension (no "(0)"). 0 or QV_ERR_ARG.
int _exist_rename(const char *prefix, const char *ext, char **out, int n);

// Downloads the device file `path` into the existing local folder `folder`, resumably: 105 for the size and
// modification time, then 106 through _handle_file_download_req. 0, the 105 result, or the driver's.
int QV_FileDownload(const char *folder, path_info *path, client_file_task *task);

// The driver: `localPath` is the planned target (folder joined with the device file's name), `st` the 105
// attributes, `path_obj`, `rClientFileTask`, `token`, `ip` and `port` set. Results: 0 (the file complete at a
// name that was free); QV_ERR_LOCAL_FILE2 unsafe name, side files not creatable, lock held;
// QV_ERR_PARTIAL_GONE folder missing or the final move failed; QV_ERR_OTHER_PARTIAL the side files belong to
// another version of the file; QV_ERR_DL_NO_TYPE the device's data did not match the file (size or range);
// the processor's code. On failure the side files stay for a resume.
int _handle_file_download_req(client_info *info);

// ---- test seam ----

// The steps of a download's start and of its final sequence. A hook set here is called right after each
// step with the target's path (the planned or "(N)" name whose side files are meant), so that a test can run
// a second download at every point in turn. Set it only while no download runs; null removes it.
enum class DownloadStep {
    IdFile,         // the id file claimed (fresh) or found and checked (resume)
    DataFile,       // the partial file created or opened, not yet locked
    Locked,         // the partial file locked
    ResumeFile,     // the resume file created or opened
    ResumeRemoved,  // complete: the resume file removed
    Moved,          // the partial file moved into place
    IdRemoved,      // the id file removed
    Released,       // the partial file's lock released
};
using DownloadStepHook = void (*)(DownloadStep step, const char *target, void *ctx);
void set_download_step_hook(DownloadStepHook hook, void *ctx);
// Calls the hook, if any.
void download_step(DownloadStep step, const char *target);
