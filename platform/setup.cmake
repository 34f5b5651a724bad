# platform: setup area (targets defined here)
