// Shared by the extension's own pages: texts from _locales.
import { api } from "./background/api.js";

export function text(name, ...substitutions) {
  return api.i18n.getMessage(name, substitutions) || name;
}

export function localise(root = document) {
  document.documentElement.lang = api.i18n.getUILanguage();
  for (const element of root.querySelectorAll("[data-i18n]")) {
    element.textContent = text(element.dataset.i18n);
  }
}
