// Sounds and images of the resource file: 'snd ' items (WAVE), 'ICON' and 'PICT'
// items (PNG) as Qt pixmaps and icons.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <functional>

#include "framework/resources.h"

namespace cv {

namespace USound {

// Plays sound `id` of the open resource files through the installed player; without
// one (the usual case, see media.cpp) nothing is heard. A missing sound is ignored.
void Play(Int16 id);
// The window system's bell (QApplication::beep).
void Beep();

// Receives each sound to play: its id and its WAVE data. Tests record with it; a build
// with an audio back end would install one. None: silence.
using Player = std::function<void(Int16 id, const Bytes& wave)>;
void SetPlayer(Player player);
// Replaces the bell (tests); none restores it.
void SetBeeper(std::function<void()> beeper);

}  // namespace USound

namespace UImage {

// The PNG item (type rezIcon or rezPicture) of the open resource files; a null pixmap
// when it is missing or not an image. Decoded once and kept.
QPixmap Pixmap(Uint32 id, Uint32 type = rezIcon);
// The icon item as a QIcon; a null icon when it is missing.
QIcon Icon(Uint32 id);
// Forgets the decoded images (after the resource files changed).
void ClearCache();

}  // namespace UImage

}  // namespace cv
