"""The web interface of the product core: ``velmor serve``.

``create_app`` (in ``app``) builds the Starlette application; ``cli``
registers the ``serve`` command. Importing this package imports neither.
"""
