# platform: screen area (targets defined here)
