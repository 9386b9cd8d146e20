// Keeps the helper library non-empty while a build has no other helper.
