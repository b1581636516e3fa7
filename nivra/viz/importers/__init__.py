"""Importers: models of other toolkits turned into graphs the viewer draws.

    nir   NIR graphs (``.nir`` files or ``nir.NIRGraph`` objects); needs the optional
          package ``nir`` (``pip install 'nivra-viz[nir]'``)
"""
