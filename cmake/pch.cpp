// The target that owns the precompiled Qt Core headers every other target reuses.
