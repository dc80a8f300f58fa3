#include "neighbours/ZRMediaViewers.h"

#include <atomic>
#include <mutex>

namespace {

// One installed maker per window kind.
template <typename M>
struct MakerSlot {
    std::mutex mu;
    M maker;
    void set(M m) {
        std::lock_guard lock(mu);
        maker = std::move(m);
    }
    M get() {
        std::lock_guard lock(mu);
        return maker;
    }
};

MakerSlot<ZRMoviePlayerWindowController::Maker> g_movie;
MakerSlot<ZRMusicWindowController::Maker> g_music;
MakerSlot<ZRNewPhotoController::Maker> g_photo;
MakerSlot<ZRPhotoShowWindowController::Maker> g_photoWindow;
std::atomic<ZRPhotoFileManager *> g_photoManager{nullptr};

}  // namespace

std::shared_ptr<ZRMoviePlayerWindowController> ZRMoviePlayerWindowController::initWithMovies(
    const QList<ZRFileModelPtr> &movies, int64_t index) {
    const Maker m = g_movie.get();
    return m ? m(movies, index) : nullptr;
}
void ZRMoviePlayerWindowController::setMaker(Maker maker) {
    g_movie.set(std::move(maker));
}

std::shared_ptr<ZRMusicWindowController> ZRMusicWindowController::initWithMusics(
    const QList<ZRFileModelPtr> &musics, int64_t index) {
    const Maker m = g_music.get();
    return m ? m(musics, index) : nullptr;
}
void ZRMusicWindowController::setMaker(Maker maker) {
    g_music.set(std::move(maker));
}

std::shared_ptr<ZRNewPhotoController> ZRNewPhotoController::create() {
    const Maker m = g_photo.get();
    return m ? m() : nullptr;
}
void ZRNewPhotoController::setMaker(Maker maker) {
    g_photo.set(std::move(maker));
}

std::shared_ptr<ZRPhotoShowWindowController> ZRPhotoShowWindowController::initWithPhotoShowWindow() {
    const Maker m = g_photoWindow.get();
    return m ? m() : nullptr;
}
void ZRPhotoShowWindowController::setMaker(Maker maker) {
    g_photoWindow.set(std::move(maker));
}

ZRPhotoFileManager &ZRPhotoFileManager::sharePhotoManager() {
    static auto *const idle = new ZRPhotoFileManager;  // never destroyed
    ZRPhotoFileManager *installed = g_photoManager.load();
    return installed ? *installed : *idle;
}
void ZRPhotoFileManager::setSharePhotoManager(ZRPhotoFileManager *manager) {
    g_photoManager.store(manager);
}
