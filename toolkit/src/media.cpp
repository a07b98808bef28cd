// Sounds and images from the resource files.
//
// Sounds: the programs link nothing beyond Qt's base modules and start no other
// process, and Qt's base modules have no way to play a WAVE. So a sound is played only
// when a player has been installed (USound::SetPlayer); otherwise it is silent, which
// is also what a machine without a sound device or display gets. The bell is the
// window system's own (QApplication::beep), which works wherever there is a display
// and does nothing on the offscreen platform.
#include "toolkit/media.h"

#include <QApplication>
#include <QImage>
#include <map>
#include <utility>

namespace cv {

namespace {

USound::Player& ThePlayer() {
  static USound::Player player;
  return player;
}

std::function<void()>& TheBeeper() {
  static std::function<void()> beeper;
  return beeper;
}

// Images, not pixmaps: these outlive the QApplication, and pixmaps must not.
std::map<std::pair<Uint32, Uint32>, QImage>& Cache() {
  static std::map<std::pair<Uint32, Uint32>, QImage> cache;
  return cache;
}

}  // namespace

namespace USound {

void Play(Int16 id) {
  const Player& player = ThePlayer();
  if (!player) return;
  std::optional<Bytes> wave = URez::Read(rezSound, Uint32(Uint16(id)));
  if (!wave) return;
  player(id, *wave);
}

void Beep() {
  if (const auto& beeper = TheBeeper()) {
    beeper();
    return;
  }
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) QApplication::beep();
}

void SetPlayer(Player player) { ThePlayer() = std::move(player); }

void SetBeeper(std::function<void()> beeper) { TheBeeper() = std::move(beeper); }

}  // namespace USound

namespace UImage {

QPixmap Pixmap(Uint32 id, Uint32 type) {
  auto& cache = Cache();
  const auto key = std::make_pair(type, id);
  auto it = cache.find(key);
  if (it == cache.end()) {
    QImage image;
    if (std::optional<Bytes> data = URez::Read(type, id))
      image.loadFromData(reinterpret_cast<const uchar*>(data->data()), int(data->size()), "PNG");
    it = cache.emplace(key, std::move(image)).first;
  }
  return it->second.isNull() ? QPixmap() : QPixmap::fromImage(it->second);
}

QIcon Icon(Uint32 id) {
  QPixmap p = Pixmap(id, rezIcon);
  return p.isNull() ? QIcon() : QIcon(p);
}

void ClearCache() { Cache().clear(); }

}  // namespace UImage

}  // namespace cv
