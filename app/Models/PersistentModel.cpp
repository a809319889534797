#include "Models/PersistentModel.h"

#include "Models/PersistentContext.h"

namespace parlowvista {

PersistentModel::PersistentModel(QUuid id) : m_id(id) {}

void PersistentModel::didChange() {
  if (m_context) m_context->noteChanged(this);
  emit changed();
}

void PersistentModel::linkContexts(PersistentModel* a, PersistentModel* b) {
  if (!a || !b) return;
  if (a->m_context && !b->m_context)
    a->m_context->insert(b);
  else if (b->m_context && !a->m_context)
    b->m_context->insert(a);
}

}  // namespace parlowvista
