#include "Services/TemporaryFolder.h"

#include <voxtrellis/TemporaryDirectory.h>

#include <QFile>

namespace parlowvista {

QString temporaryFolder() {
  return QFile::decodeName(voxtrellis::temporaryDirectory().c_str());
}

}  // namespace parlowvista
