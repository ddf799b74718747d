"""Seeing a run: its post-processing set, pictures, plots and report.

One job per module:

* ``readers``   reading a case's post-processing set (its function objects
                are ``cfd.functions``) and logs as numbers;
* ``render``    off-screen pictures with pyvista/VTK, fixed colour scales;
* ``plots``     convergence and accumulated-drag plots with matplotlib;
* ``compare``   ΔCp of two runs on one surface;
* ``product``   the picture of a product from its USD geometry;
* ``pictures``  the picture and plot sets of a run and of a comparison;
* ``worker``    drawing in a child process (``child`` is that process);
* ``report``    the cached report of a run and its self-contained HTML;
* ``background`` reports and product pictures made without anyone waiting;
* ``runs``      a product's runs with every recorded field (the case folder).
"""
