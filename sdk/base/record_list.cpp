#include "base/record_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"

static_assert(sizeof(record_dnode) == QV_RECORD_IMAGE_SIZE, "record image is the in-memory record");

int add_record_to_list(record_dnode **head, int32_t index, int64_t start, int64_t end) {
    auto *node =
        head != nullptr ? static_cast<record_dnode *>(std::calloc(1, sizeof(record_dnode))) : nullptr;
    if (node == nullptr) {
        QV_LOG_DEBUG("add record error");
        return QV_ERR_FAILED;
    }
    node->index = index;
    node->start = start;
    node->end = end;
    node->next = *head;
    *head = node;
    return 0;
}

// The link that points at the first record whose end equals the key, or null.
static record_dnode **find_link(record_dnode **head, int64_t end) {
    for (record_dnode **link = head; *link != nullptr; link = &(*link)->next)
        if ((*link)->end == end) return link;
    return nullptr;
}

int del_record_from_list_for_index(record_dnode **head, int64_t end) {
    if (head == nullptr || *head == nullptr) {
        QV_LOG_DEBUG("header is NULL");
        return QV_ERR_ARG;
    }
    if (record_dnode **link = find_link(head, end)) {
        record_dnode *gone = *link;
        *link = gone->next;
        std::free(gone);
    }
    return 0;
}

int update_record_for_index(record_dnode **head, int64_t end, int64_t cur) {
    if (head == nullptr || *head == nullptr) {
        QV_LOG_DEBUG("header is NULL");
        return QV_ERR_ARG;
    }
    if (record_dnode **link = find_link(head, end)) (*link)->cur = cur;
    return 0;
}

int destory_record_list(record_dnode *list) {
    if (list == nullptr) return QV_ERR_ARG;
    while (list != nullptr) {
        record_dnode *next = list->next;
        std::free(list);
        list = next;
    }
    QV_LOG_DEBUG("free succ");
    return 0;
}

void display_record_dnode(const record_dnode *head) {
    int i = 0;
    for (const record_dnode *n = head; n != nullptr; n = n->next, ++i)
        QV_LOG_DEBUG("i = %d,index = %d,start = %lld,end = %lld,cur = %lld", i, n->index,
                     static_cast<long long>(n->start), static_cast<long long>(n->end),
                     static_cast<long long>(n->cur));
}

void record_to_image(const record_dnode *rec, unsigned char image[QV_RECORD_IMAGE_SIZE]) {
    std::memset(image, 0, QV_RECORD_IMAGE_SIZE);
    std::memcpy(image + 0, &rec->index, 4);
    std::memcpy(image + 8, &rec->start, 8);
    std::memcpy(image + 16, &rec->cur, 8);
    std::memcpy(image + 24, &rec->end, 8);
}

void record_from_image(const unsigned char image[QV_RECORD_IMAGE_SIZE], record_dnode *rec) {
    std::memcpy(&rec->index, image + 0, 4);
    std::memcpy(&rec->start, image + 8, 8);
    std::memcpy(&rec->cur, image + 16, 8);
    std::memcpy(&rec->end, image + 24, 8);
}

static std::vector<unsigned char> list_image(const record_dnode *head) {
    std::vector<unsigned char> out;
    for (const record_dnode *n = head; n != nullptr; n = n->next) {
        size_t at = out.size();
        out.resize(at + QV_RECORD_IMAGE_SIZE);
        record_to_image(n, out.data() + at);
    }
    return out;
}

int write_list_to_file(const char *path, const record_dnode *head) {
    if (path == nullptr) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        QV_LOG_ERROR("open file error[errno = %d]", errno);
        return QV_ERR_FAILED;
    }
    std::vector<unsigned char> image = list_image(head);
    size_t done = 0;
    while (done < image.size()) {
        ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int err = errno;
    bool ok = done == image.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    if (!ok) err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp.c_str(), path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        QV_LOG_ERROR("enRet = %zd,errno = %d", static_cast<ssize_t>(done), err);
        return QV_ERR_FAILED;
    }
    return 0;
}

int write_list_to_stream(FILE *stream, const record_dnode *head) {
    if (stream == nullptr) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    if (std::fseek(stream, 0, SEEK_SET) != 0) {
        QV_LOG_ERROR("fseek error,errno = %d", errno);
        return QV_ERR_FAILED;
    }
    if (head == nullptr) return 0;
    std::vector<unsigned char> image = list_image(head);
    size_t n = std::fwrite(image.data(), 1, image.size(), stream);
    if (n != image.size() || std::fflush(stream) != 0) {
        QV_LOG_ERROR("enRet = %lu,errno = %d", static_cast<unsigned long>(n), errno);
        return QV_ERR_FAILED;
    }
    int fd = fileno(stream);
    if (ftruncate(fd, static_cast<off_t>(image.size())) != 0 || fdatasync(fd) != 0) {
        QV_LOG_ERROR("truncate error,errno = %d", errno);
        return QV_ERR_FAILED;
    }
    return 0;
}

int read_list_from_file(const char *path, record_dnode **head) {
    FILE *fp = path != nullptr && head != nullptr ? std::fopen(path, "rb") : nullptr;
    if (fp == nullptr) {
        QV_LOG_ERROR("fopen error[errno:%d]", errno);
        return QV_ERR_FAILED;
    }
    int count = 0;
    unsigned char image[QV_RECORD_IMAGE_SIZE];
    for (;;) {
        size_t n = std::fread(image, 1, sizeof image, fp);
        if (n != sizeof image) {
            // The normal end: end of file, a partial trailing record or a read error.
            QV_LOG_DEBUG("fread error,enRet = %lu,errno = %d", static_cast<unsigned long>(n), errno);
            break;
        }
        record_dnode rec{};
        record_from_image(image, &rec);
        if (add_record_to_list(head, rec.index, rec.start, rec.end) != 0) break;
        (*head)->cur = rec.cur;
        ++count;
        if (std::feof(fp)) break;
    }
    std::fclose(fp);
    return count;
}

FILE *open_resume_stream(const char *path) {
    if (path == nullptr) return nullptr;
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        QV_LOG_ERROR("open file errno[errno = %d]", errno);
        return nullptr;
    }
    FILE *fp = fdopen(fd, "r+");
    if (fp == nullptr) {
        QV_LOG_ERROR("open file errno[errno = %d]", errno);
        ::close(fd);
    }
    return fp;
}
