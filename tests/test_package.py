"""The package as installed: its namespace and the metadata a user sees."""
import importlib.metadata
import re

import pytest

import kovar

META = importlib.metadata.metadata("kovar")


def test_version_is_the_metadata_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", kovar.__version__)
    assert kovar.__version__ == META["Version"] == importlib.metadata.version("kovar")


def test_bank_is_listed_and_star_imported():
    assert "PIDBank" in dir(kovar) and "__version__" in dir(kovar)
    namespace = {}
    exec("from kovar import *", namespace)
    from kovar.bank import PIDBank

    assert namespace["PIDBank"] is PIDBank is kovar.PIDBank
    with pytest.raises(AttributeError, match=r"^module 'kovar' has no attribute 'PIDBonk'$"):
        kovar.PIDBonk


def test_metadata_says_who_it_is_for_and_under_which_license():
    assert META["License-Expression"] == "BSD-3-Clause"
    assert "LICENSE" in META.get_all("License-File")
    assert META["Author"] == "The kovar developers"
    classifiers = META.get_all("Classifier")
    for wanted in ("Intended Audience :: Science/Research", "Intended Audience :: Developers",
                   "Topic :: Scientific/Engineering"):
        assert wanted in classifiers


def test_long_description_is_for_users():
    text = META.get_payload() or META["Description"]
    assert META["Description-Content-Type"].startswith("text/markdown")
    assert "pip install" in text and "kovar.bank" in text and "kovar.regulo" in text
    # No developer commands, and no link that only resolves inside the repository.
    for word in ("make ", "nox ", "debootstrap", "](docs/", "](examples/"):
        assert word not in text, word
