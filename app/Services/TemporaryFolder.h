#pragma once

#include <QString>

namespace parlowvista {

// The folder for the application's temporary files: $TMPDIR when it names an existing folder by
// an absolute path, else /tmp (voxtrellis::temporaryDirectory(), the engine's rule, so that both
// put their files in one place). Never empty: QDir::tempPath() is empty for a $TMPDIR that names
// nothing, and QDir("") is the working folder, which the application must never write or sweep.
QString temporaryFolder();

}  // namespace parlowvista
