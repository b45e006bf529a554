#include "app/run_wiring.h"
#include "platform/music/built_in_music.h"

namespace vellicor::app {

// The play count starts at 1, so the piece plays once and then stays silent. Without a sound
// device or sound font the player is simply silent: the window says nothing about it.
void MusicWiring::started() {
    if (music_) {
        return;
    }
    music_ = std::make_unique<music::BackgroundMusic>(options_);
    music_->setMusic(music::builtInMusic());
}

void MusicWiring::stopMusicClicked() {
    if (music_) {
        music_->stopForGood();
    }
}

}  // namespace vellicor::app
