# Package marker for the vorn Django project; imports nothing so that vorn.asgi stays the only entry point.
