#pragma once

namespace voxtrellis {

// Selects which of the recogniser's two decoder states a single-window
// transcription or a streaming window uses. The application always passes
// microphone. (Unrelated to the application's persistent audio source.)
enum class AudioSource { microphone, system };

}  // namespace voxtrellis
