// Anchor of the precompiled header that every test binary reuses: GoogleTest,
// GoogleMock and the JSON library are most of what a test file parses.
