// The page's words in English and Russian; the browser's language picks one.
(() => {
  'use strict';

  const words = {
    en: {
      title: 'Tanks of every station',
      filter: 'Filter by site',
      exportCsv: 'Export CSV',
      connecting: 'Connecting…',
      online: 'Connected',
      offlineBroker: 'Connection lost, retrying…',
      loginTitle: 'Sign in to the office broker',
      user: 'User',
      password: 'Password',
      signIn: 'Sign in',
      refused: 'The broker refused this user or password.',
      states: { alarm: 'alarm', order: 'order within 24 h', stale: 'no fresh readings', offline: 'offline', ok: 'ok' },
      sites: 'sites',
      tank: 'Tank',
      product: 'product',
      volume: 'Volume',
      toFill: 'To 95 %',
      daysToEmpty: 'Days to empty',
      water: 'Water',
      temperature: 'Temp.',
      lastDelivery: 'Last delivery',
      none: '—',
      litres: 'l',
      mm: 'mm',
      days: 'd',
      orderBy: 'order by',
      readAt: 'read',
      gross: 'gross',
      net: 'net 15 °C',
      noTanks: 'no tanks yet',
      alarms: {
        low_product: 'low product', high_product: 'high product', overfill: 'overfill',
        high_water: 'high water', sudden_loss: 'sudden loss', leak: 'leak', invalid_height: 'invalid height',
        probe_out: 'probe out', delivery_needed: 'delivery needed', max_product: 'maximum product',
      },
    },
    ru: {
      title: 'Резервуары всех АЗС',
      filter: 'Фильтр по АЗС',
      exportCsv: 'Экспорт CSV',
      connecting: 'Подключение…',
      online: 'Подключено',
      offlineBroker: 'Связь потеряна, переподключение…',
      loginTitle: 'Вход на брокер офиса',
      user: 'Пользователь',
      password: 'Пароль',
      signIn: 'Войти',
      refused: 'Брокер отклонил пользователя или пароль.',
      states: { alarm: 'тревога', order: 'заказ в течение суток', stale: 'нет свежих данных', offline: 'нет связи', ok: 'норма' },
      sites: 'АЗС',
      tank: 'Резервуар',
      product: 'продукт',
      volume: 'Объём',
      toFill: 'До 95 %',
      daysToEmpty: 'Хватит на',
      water: 'Вода',
      temperature: 'Темп.',
      lastDelivery: 'Последний слив',
      none: '—',
      litres: 'л',
      mm: 'мм',
      days: 'дн.',
      orderBy: 'заказать до',
      readAt: 'замер',
      gross: 'брутто',
      net: 'нетто 15 °C',
      noTanks: 'резервуаров пока нет',
      alarms: {
        low_product: 'мало продукта', high_product: 'много продукта', overfill: 'перелив',
        high_water: 'подтоварная вода', sudden_loss: 'резкая убыль', leak: 'утечка',
        invalid_height: 'неверный уровень', probe_out: 'зонд не отвечает', delivery_needed: 'нужен завоз',
        max_product: 'максимум продукта',
      },
    },
  };

  function pickLanguage(languages) {
    for (const tag of languages || []) {
      const base = String(tag).toLowerCase().split('-')[0];
      if (base in words) return base;
    }
    return 'en';
  }

  const lang = pickLanguage(navigator.languages?.length ? navigator.languages : [navigator.language]);
  const t = words[lang];

  const numbers = new Intl.NumberFormat(lang, { maximumFractionDigits: 0 });
  const decimals = new Intl.NumberFormat(lang, { minimumFractionDigits: 1, maximumFractionDigits: 1 });
  const when = new Intl.DateTimeFormat(lang, { day: '2-digit', month: '2-digit', hour: '2-digit', minute: '2-digit' });

  const fmt = {
    int: (v) => (Number.isFinite(v) ? numbers.format(v) : t.none),
    one: (v) => (Number.isFinite(v) ? decimals.format(v) : t.none),
    time: (ms) => (Number.isFinite(ms) ? when.format(new Date(ms)) : t.none),
  };

  Object.assign(VR, { pickLanguage, lang, t, fmt });
})();
