# platform: viewer area (targets defined here)
