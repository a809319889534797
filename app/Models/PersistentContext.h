#pragma once

namespace parlowvista {

class PersistentModel;
class Transcription;

// The context a stored object belongs to, as the stored types see it. The store's ModelContext
// is its one implementation; through this the value layer needs nothing from the store.
// UI thread only.
class PersistentContext {
 public:
  // Takes a detached object, and every detached object linked to it, into the context.
  // Inserting an object that is already in this context does nothing.
  virtual void insert(PersistentModel* object) = 0;

 protected:
  PersistentContext() = default;
  ~PersistentContext() = default;

 private:
  friend class PersistentModel;
  friend class Transcription;

  // Queues a written object for the next save.
  virtual void noteChanged(PersistentModel* object) = 0;
  // Reads a stored version's segments, or its speaker overrides, the first time they are needed.
  virtual void loadSegments(Transcription* transcription) = 0;
  virtual void loadSpeakers(Transcription* transcription) = 0;
};

}  // namespace parlowvista
