# Windows-only units, run under Wine.
