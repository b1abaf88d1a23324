"""The browser view: the sensor live in a web browser.

A small web server (``server``) shows a heat map of the taxels, triaxial
forces, a strip chart and the connection's state, with Zero and Record
buttons (``recording``); ``feed`` is its reader, ``layout`` places the
cells, ``listen`` makes its socket, and ``launch`` checks what it can and
starts it. The page and its assets are files of this package
(``static/``): nothing comes from the internet.

This module imports nothing of the ``view`` extra, so that the command line
can describe the command without it.
"""
