// Keeps an engine area linkable while it has no sources yet.
