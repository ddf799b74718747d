"""Vehicle dynamics on Project Chrono: the steady-state circle of a product.

One job per module: ``template`` (handling templates, overrides and their
plausibility), ``vehicle`` (the run's Chrono vehicle files), ``runner`` (the
``velmor-chrono`` program), ``results`` (the run's figures), ``pictures``
(its plots) and ``api`` (a run, recorded).
"""
