// What the file views use of the media viewers: the file and subtitle records they hand over, the video,
// music and photo windows (made by installed makers; the windows belong to the viewers) and the viewers'
// notifications.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

inline constexpr char kNotif_ZRMPMoviePlaybackErrorNotification[] = "ZRMPMoviePlaybackErrorNotification";
inline constexpr char kNotif_ZRMoviePlayerDidCloseNotification[] = "ZRMoviePlayerDidCloseNotification";
inline constexpr char kNotif_ZRMusicPlayerDidCloseNotification[] = "ZRMusicPlayerDidCloseNotification";
inline constexpr char kNotif_ZRMusicPlaybackErrorNotification[] = "ZRMusicPlaybackErrorNotification";

// The media file handed to every viewer.
class ZRFileModel {
  public:
    QString path;  // the stream address of the device file
    QString name;
    int64_t fileType = 0;  // 1 picture, 2 video, 3 music
    QString storageName;   // the cache file name of a picture
    QString ipAddress;
    int32_t portValue = 0;
};
using ZRFileModelPtr = std::shared_ptr<ZRFileModel>;

class ZRSubtitleModel {
  public:
    QString name;
    uint64_t type = 0;    // 0 SRT, 1 ASS
    QString subtitleStr;  // the whole text, or null
};
using ZRSubtitleModelPtr = std::shared_ptr<ZRSubtitleModel>;

using ZRSubtitleCompleteBlock = std::function<void(bool, const QList<ZRSubtitleModelPtr> &)>;

struct ZRMoviePlayerDelegate {
    virtual ~ZRMoviePlayerDelegate() = default;
    virtual void moviePlayerRequestSubtitleWithModel(const ZRFileModelPtr &model,
                                                     ZRSubtitleCompleteBlock completeBlock) = 0;
};

class ZRMoviePlayerWindowController {
  public:
    using Maker =
        std::function<std::shared_ptr<ZRMoviePlayerWindowController>(const QList<ZRFileModelPtr> &, int64_t)>;
    // The video player window playing movies[index]; null when no player is installed.
    static std::shared_ptr<ZRMoviePlayerWindowController> initWithMovies(const QList<ZRFileModelPtr> &movies,
                                                                         int64_t index);
    static void setMaker(Maker maker);
    virtual ~ZRMoviePlayerWindowController() = default;
    virtual void playMovies(const QList<ZRFileModelPtr> &movies, int64_t index) = 0;
    virtual void setPlayerDelegate(ZRMoviePlayerDelegate *delegate) = 0;  // not owned
    virtual void showWindow_() = 0;                                       // to the front, key
};
using ZRMoviePlayerWindowControllerPtr = std::shared_ptr<ZRMoviePlayerWindowController>;

class ZRMusicWindowController {
  public:
    using Maker =
        std::function<std::shared_ptr<ZRMusicWindowController>(const QList<ZRFileModelPtr> &, int64_t)>;
    static std::shared_ptr<ZRMusicWindowController> initWithMusics(const QList<ZRFileModelPtr> &musics,
                                                                   int64_t index);
    static void setMaker(Maker maker);
    virtual ~ZRMusicWindowController() = default;
    virtual void playMusics(const QList<ZRFileModelPtr> &musics, int64_t index) = 0;
    virtual void showWindow_() = 0;
};
using ZRMusicWindowControllerPtr = std::shared_ptr<ZRMusicWindowController>;

class ZRNewPhotoController;

// Asked by the photo viewer for its pictures; the last three are optional.
struct ZRNewPhotoVCDelegate {
    virtual ~ZRNewPhotoVCDelegate() = default;
    virtual int64_t numberOfPhotosInNewShowVC(ZRNewPhotoController *sender) = 0;
    virtual ZRFileModelPtr newShowVCFileModelForIndex(ZRNewPhotoController *sender, int64_t index) = 0;
    virtual void newShowVCConformDeleteBtnDidClickedWithIndex(ZRNewPhotoController *, int64_t,
                                                              std::function<void(bool)> deleteResultBlock) {
        (void)deleteResultBlock;
    }
    virtual void newShowVCDownLoadBtnDidClickedWithIndex(ZRNewPhotoController *, int64_t,
                                                         const ZRFileModelPtr &) {}
    virtual void newShowVCWillClose(ZRNewPhotoController *) {}
};

class ZRNewPhotoController {
  public:
    using Maker = std::function<std::shared_ptr<ZRNewPhotoController>()>;
    static std::shared_ptr<ZRNewPhotoController> create();  // null when no viewer is installed
    static void setMaker(Maker maker);
    virtual ~ZRNewPhotoController() = default;
    virtual void setPhotoVCDelegate(ZRNewPhotoVCDelegate *delegate) = 0;  // not owned
    virtual void showWithIndex(int64_t index) = 0;
};
using ZRNewPhotoControllerPtr = std::shared_ptr<ZRNewPhotoController>;

class ZRPhotoShowWindowController {
  public:
    using Maker = std::function<std::shared_ptr<ZRPhotoShowWindowController>()>;
    static std::shared_ptr<ZRPhotoShowWindowController> initWithPhotoShowWindow();  // null without a viewer
    static void setMaker(Maker maker);
    virtual ~ZRPhotoShowWindowController() = default;
    virtual void setContentViewController(const ZRNewPhotoControllerPtr &controller) = 0;
    virtual void showWindow_() = 0;
    virtual void close_() = 0;
};
using ZRPhotoShowWindowControllerPtr = std::shared_ptr<ZRPhotoShowWindowController>;

class ZRPhotoFileManager {
  public:
    // The installed manager, else one that copies nothing.
    static ZRPhotoFileManager &sharePhotoManager();
    static void setSharePhotoManager(ZRPhotoFileManager *manager);  // not owned
    virtual ~ZRPhotoFileManager() = default;
    // Copies the cached full-size picture of the model into the Downloads folder under a free name.
    virtual void copyImageDataFromCacheDirToDownloadsDir(const ZRFileModelPtr &model) { (void)model; }
};
